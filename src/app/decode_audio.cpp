#include "app/decode_audio.hpp"

#include "editor/ui/user_messages.hpp"

namespace vt6::maker {

fmt::Result<ImportedSample> decodeAudioFile(const juce::File& file, int* kind,
                                            const std::function<bool()>& cancelled, const DecodeAdmission& admit) {
    return decodeAudioPath(file.getFullPathName().toStdString(), file.getFileNameWithoutExtension().toStdString(),
                           cancelled, kind, admit);
}

std::string importErrorText(const std::string& fileName, int kind) { return importRefusalText(kind, fileName); }

}  // namespace vt6::maker
