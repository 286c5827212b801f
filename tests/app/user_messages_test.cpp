#include <gtest/gtest.h>

#include "editor/ui/user_messages.hpp"

namespace vt6::maker {
namespace {

std::string ref(int n) { return referencePrefix() + std::to_string(n) + ")"; }

bool endsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(UserMessages, ReferenceCodes) {
    EXPECT_EQ(referencePrefix().size(), 8u);
    EXPECT_EQ(withReferenceNumber("", 7), ref(7));
    EXPECT_EQ(withReferenceNumber("Failed.", 421), "Failed." + ref(421));
    EXPECT_EQ(&referencePrefix(), &referencePrefix());
}

TEST(UserMessages, TextsAndTheirNumbers) {
    struct Case {
        std::string text;
        std::string start;
        int number;  // 0: no reference code
    };
    const Case cases[] = {
        {openErrorText(), "This zem could not be opened in the editor.", 420},
        {workingCopyErrorText(), "ZEM Rivir could not make a working copy of this zem.", 426},
        {sampleEditorAudioErrorText(), "This sample's audio could not be read.", 421},
        {saveErrorText(4), "One sample's audio could not be read, so the zem was not saved.", 421},
        {sampleAudioSaveErrorText("Kick Hard Direct"),
         "The audio of Kick Hard Direct could not be read, so the zem was not saved.", 421},
        {saveErrorText(5), "These edits could not be saved as a zem. Nothing was written.", 427},
        {saveErrorText(6), "The zem could not be saved there.", 428},
        {saveErrorText(2), "Import samples before saving the zem.", 0},
        {saveErrorText(3), "ZEM Rivir supports Direct and Room A, B and C. This file contains a custom channel.", 0},
        {saveErrorText(7), "A sample has more than two channels. ZEM Rivir plays mono or stereo samples only", 0},
        {selectionTooLargeText(), "The selection holds more than 512 MB of audio.", 432},
        {importRefusalText(0, "kick.wav"), "kick.wav could not be read as audio and was left out.", 418},
        {importRefusalText(1, "kick.wav"), "kick.wav was left out. ZEM Rivir imports mono or stereo", 414},
        {importRefusalText(2, "kick.wav"), "kick.wav is too long to import.", 429},
        {importRefusalText(3, "kick.wav"), "kick.wav contains damaged audio and was left out.", 430},
        {importRefusalText(4, "kick.wav"), "kick.wav is silent and was left out.", 431},
        {importRefusalText(5, "kick.wav"), "kick.wav is already on this page.", 0},
        {importRefusalText(6, "kick.wav"), "kick.wav isn't audio and was skipped.", 0},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(c.text.rfind(c.start, 0), 0u) << c.text;
        if (c.number != 0)
            EXPECT_TRUE(endsWith(c.text, ref(c.number))) << c.text;
        else
            EXPECT_EQ(c.text.find(referencePrefix()), std::string::npos) << c.text;
    }
    EXPECT_NE(saveErrorText(4), sampleEditorAudioErrorText());
}

TEST(UserMessages, SaveCodesWithoutText) {
    for (uint32_t code : {0u, 1u, 8u, 0xFFFFFFFFu}) EXPECT_EQ(saveErrorText(code), "") << code;
    EXPECT_EQ(importRefusalText(7, "x"), "");
}

TEST(UserMessages, AnalysisCounts) {
    EXPECT_EQ(analysisErrorText(1), "Could not analyze 1 sample. No samples were moved." + ref(422));
    EXPECT_EQ(analysisErrorText(3), "Could not analyze 3 samples. No samples were moved." + ref(422));
    EXPECT_EQ(analysisErrorText(0), "The samples could not be analyzed. No samples were moved." + ref(422));
}

}  // namespace
}  // namespace vt6::maker
