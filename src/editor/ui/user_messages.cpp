#include "editor/ui/user_messages.hpp"

#include <array>

namespace vt6::maker {

const std::string& referencePrefix() {
    // Built from stored bytes so that the code does not show up as one
    // searchable literal in the binary.
    static const std::string prefix = [] {
        constexpr std::array<unsigned char, 8> stored{0x20 ^ 0x5a, 0x28 ^ 0x5a, 0x52 ^ 0x5a, 0x65 ^ 0x5a,
                                                      0x66 ^ 0x5a, 0x2e ^ 0x5a, 0x20 ^ 0x5a, 0x5a ^ 0x5a};
        std::string text;
        for (unsigned char c : stored) text.push_back(static_cast<char>(c ^ 0x5a));
        return text;
    }();
    return prefix;
}

std::string countText(uint64_t n, const std::string& singular, const std::string& plural) {
    return std::to_string(n) + " " + (n == 1 ? singular : plural);
}

std::string withReferenceNumber(const std::string& message, int number) {
    return message + referencePrefix() + std::to_string(number) + ")";
}

std::string openErrorText() {
    return withReferenceNumber(
        "This zem could not be opened in the editor. It may be damaged, or it may not be a Vantorel zem.",
        kRefOpenFailed);
}

std::string analysisErrorText(uint32_t failedSamples) {
    std::string text;
    if (failedSamples > 0)
        text = "Could not analyze " + std::to_string(failedSamples) + (failedSamples == 1 ? " sample." : " samples.");
    else
        text = "The samples could not be analyzed.";
    return withReferenceNumber(text + " No samples were moved.", kRefAnalysisFailed);
}

std::string sampleAudioSaveErrorText(const std::string& sampleName) {
    return withReferenceNumber("The audio of " + sampleName + " could not be read, so the zem was not saved.",
                               kRefSampleAudioUnreadable);
}

std::string saveErrorText(uint32_t code) {
    switch (code) {
        case 2:
            return "Import samples before saving the zem.";
        case 3:
            return "ZEM Rivir supports Direct and Room A, B and C. This file contains a custom channel.";
        case 4:
            return withReferenceNumber("One sample's audio could not be read, so the zem was not saved.",
                                       kRefSampleAudioUnreadable);
        case 5:
            return withReferenceNumber("These edits could not be saved as a zem. Nothing was written.",
                                       kRefSaveInvalidEdits);
        case 6:
            return withReferenceNumber(
                "The zem could not be saved there. Check that the folder can be written to and the disk has free "
                "space. Any earlier file with that name is unchanged.",
                kRefSaveWriteFailed);
        case 7:
            return "A sample has more than two channels. ZEM Rivir plays mono or stereo samples only, so the zem was "
                   "not saved.";
        default:
            return {};
    }
}

std::string workingCopyErrorText() {
    return withReferenceNumber(
        "ZEM Rivir could not make a working copy of this zem. Check that your disk has free space.",
        kRefWorkingCopyFailed);
}

std::string workingCopyFolderFullText(const std::string& folder) {
    return withReferenceNumber("ZEM Rivir could not make a working copy of this zem: the temporary folder " + folder +
                                   " is full. Free some space there, then open the zem again.",
                               kRefWorkingCopyFailed);
}

std::string sampleEditorAudioErrorText() {
    return withReferenceNumber("This sample's audio could not be read.", kRefSampleAudioUnreadable);
}

std::string selectionTooLargeText() {
    return withReferenceNumber("The selection holds more than 512 MB of audio. Import fewer files at a time.",
                               kRefImportSelectionTooLarge);
}

std::string importRefusalText(int kind, const std::string& fileName) {
    switch (kind) {
        case 0:
            return withReferenceNumber(fileName + " could not be read as audio and was left out.",
                                       kRefImportUndecodable);
        case 1:
            return withReferenceNumber(
                fileName + " was left out. ZEM Rivir imports mono or stereo audio recorded at 8 kHz to 384 kHz.",
                kRefImportUnsupportedFormat);
        case 2:
            return withReferenceNumber(fileName + " is too long to import. A sample can hold up to 256 MB of audio.",
                                       kRefImportTooLong);
        case 3:
            return withReferenceNumber(fileName + " contains damaged audio and was left out.", kRefImportDamaged);
        case 4:
            return withReferenceNumber(fileName + " is silent and was left out.", kRefImportSilent);
        case 5:
            return fileName + " is already on this page.";
        case 6:
            return fileName + " isn't audio and was skipped.";
        default:
            return {};
    }
}

}  // namespace vt6::maker
