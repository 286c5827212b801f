#pragma once
// Cutting drum hits out of audio and adding each as a sample of the editor's
// document: the work behind "Add from audio file…" and live capture. Plain
// C++ on the message thread.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

namespace vt6::ui::zemedit {

namespace logic {
class ZemEditViewModel;
}

// The file name of `path` without its extension: the text after the last
// slash or backslash, up to its last full stop unless that is the name's
// first character.
std::string hitBaseName(const std::string& path);

// Fades every channel of interleaved audio in over min(lround(rate x 0.5 ms),
// n / 2) frames and out over min(lround(rate x 8 ms), n / 2) frames with
// raised-cosine ramps that never reach exactly 0 or 1.
void fadeHitEdges(std::vector<float>& interleaved, int channels, int sampleRate);

// Finds the hits of the mixed-down audio and adds each one that starts at or
// after `from` and (when `to` >= 0) ends by `to` as a sample named
// baseName + " " + (live sample count + 1), in the first room channel and
// articulation and the middle group, each its own undo step. Raises
// `consumedEnd` to the end of every hit added. Returns how many were added.
int extractHitsInto(logic::ZemEditViewModel& viewModel, std::span<const float> interleaved, int channels,
                    int sampleRate, const std::string& baseName, int64_t from, int64_t to, int64_t& consumedEnd);

// Keeps a live-capture buffer within 65 s at `rate`: beyond that it drops the
// oldest samples so that the newest 60 s remain, and lowers `consumedEnd` by
// as many (not below 0). Returns the number dropped.
int64_t boundCaptureBuffer(std::vector<float>& buffer, int64_t& consumedEnd, double rate);

// One live-capture step after the host appended its audio: bounds the
// buffer, then, once it holds a second, adds the hits that end before its
// newest 0.4 s. Returns the number of samples added.
int captureStep(logic::ZemEditViewModel& viewModel, std::vector<float>& buffer, int64_t& consumedEnd, double rate,
                const std::string& baseName);

}  // namespace vt6::ui::zemedit
