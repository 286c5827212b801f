#pragma once
// Inside the platform layer only. Every call that creates or renames a file
// holds a CreationScope for the call itself. When a termination signal
// arrives, the cleanup closes the gate for good before it looks for this
// instance's files: from then on no file of ours appears or moves (a save's
// rename over its target has either happened or never will), so what the
// cleanup removes is all there is.

namespace vt6::platform {

class CreationScope {
public:
    CreationScope();
    ~CreationScope();
    CreationScope(const CreationScope&) = delete;
    CreationScope& operator=(const CreationScope&) = delete;
};

// Waits for the calls under way, then blocks every later one until the
// process ends. Never reopens.
void closeCreationGate();

} // namespace vt6::platform
