#include "platform/creation_gate.hpp"

#include <shared_mutex>

namespace vt6::platform {
namespace {
// Never destroyed: a signal may arrive while static objects are torn down.
std::shared_mutex& gate() {
    static auto* const instance = new std::shared_mutex;
    return *instance;
}
} // namespace

CreationScope::CreationScope() { gate().lock_shared(); }
CreationScope::~CreationScope() { gate().unlock_shared(); }

void closeCreationGate() { gate().lock(); }

} // namespace vt6::platform
