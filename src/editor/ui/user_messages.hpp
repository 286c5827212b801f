#pragma once
// Failure texts shown to the user. The detailed cause never appears in them;
// instead each kind of failure ends with a fixed reference code, so a report
// names the failure exactly. Safe on any thread.

#include <cstdint>
#include <string>

namespace vt6::maker {

// The reference numbers, one per kind of failure.
enum ReferenceNumber : int {
    kRefImportUnsupportedFormat = 414,
    kRefImportUndecodable = 418,
    kRefOpenFailed = 420,
    kRefSampleAudioUnreadable = 421,
    kRefAnalysisFailed = 422,
    kRefWorkingCopyFailed = 426,
    kRefSaveInvalidEdits = 427,
    kRefSaveWriteFailed = 428,
    kRefImportTooLong = 429,
    kRefImportDamaged = 430,
    kRefImportSilent = 431,
    kRefImportSelectionTooLarge = 432,
};

// n and the word that counts it: "1 sample", "2 samples", "0 samples".
std::string countText(uint64_t n, const std::string& singular, const std::string& plural);

// The 8-character text every reference code starts with.
const std::string& referencePrefix();

// message + prefix + number + ")". The only builder of reference codes.
std::string withReferenceNumber(const std::string& message, int number);

std::string openErrorText();
std::string analysisErrorText(uint32_t failedSamples);
std::string saveErrorText(uint32_t saveResultCode);
// Code 4 when the sample whose audio could not be read is known by name.
std::string sampleAudioSaveErrorText(const std::string& sampleName);

// The remaining texts of the table, for the callers that show them.
std::string workingCopyErrorText();
// The working copy failed because `folder`, the temporary folder, is full.
std::string workingCopyFolderFullText(const std::string& folder);
std::string sampleEditorAudioErrorText();
std::string selectionTooLargeText();

// One text per import kind (0 undecodable, 1 unsupported format, 2 too long,
// 3 damaged, 4 silent, 5 already on the page, 6 not audio); empty for others.
std::string importRefusalText(int kind, const std::string& fileName);

}  // namespace vt6::maker
