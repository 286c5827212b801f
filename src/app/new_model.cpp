#include "app/new_model.hpp"

#include <algorithm>
#include <utility>

#include "editor/logic/band_layout.hpp"
#include "editor/ui/user_messages.hpp"
#include "format/cbor.hpp"
#include "format/sample_ext.hpp"

namespace vt6::maker {

namespace {

constexpr std::string_view kWhiteSpace = " \t\n\r\f\v";

std::string_view trimmed(std::string_view text) {
    const auto first = text.find_first_not_of(kWhiteSpace);
    if (first == std::string_view::npos) return {};
    const auto last = text.find_last_not_of(kWhiteSpace);
    return text.substr(first, last - first + 1);
}

}  // namespace

fmt::Zem6Model buildNewModel(const NewZemChoices& choices, const std::vector<double>& centres) {
    fmt::Zem6Model model;
    auto& meta = model.metadata;
    fmt::setCreatorToolName(meta.creator_tool);
    meta.name = choices.name;
    if (!choices.instrumentName.empty()) meta.instrument_name = choices.instrumentName;
    if (!choices.thirdText.empty()) meta.opaque_text_7 = choices.thirdText;

    fmt::LayerDef direct;
    direct.id = 1;
    direct.name = "Direct";
    direct.slot = 0;
    direct.level = 1.0;
    meta.layers.push_back(std::move(direct));
    for (int i = 0; i < choices.roomChannels; ++i) {
        fmt::LayerDef room;
        room.id = static_cast<uint64_t>(i) + 2;
        room.name = std::string("Room ") + static_cast<char>('A' + i);
        room.slot = static_cast<uint64_t>(i) + 1;
        room.level = 1.0;
        meta.layers.push_back(std::move(room));
    }

    for (int i = 0; i < choices.articulations; ++i) {
        fmt::ArticulationDef articulation;
        articulation.id = static_cast<uint64_t>(i) + 1;
        articulation.name = i == 0 ? std::string("CENTER") : "ART " + std::to_string(i + 1);
        meta.articulations.push_back(std::move(articulation));
    }

    const int n = std::max(0, choices.dynamicGroups);
    std::vector<double> c;
    if (centres.size() == static_cast<size_t>(n)) {
        c = centres;
    } else {
        c.reserve(static_cast<size_t>(n));
        for (int i = 0; i < n; ++i) c.push_back((i + 0.5) / n);
    }
    const auto splits = ui::zemedit::logic::levelPositionsToVelocitySplits(c);
    for (int j = 1; j <= n; ++j) {
        fmt::BandDef group;
        group.id = static_cast<uint64_t>(j);
        group.name = "Dynamic " + std::to_string(j);
        // A split list shorter than n - 1 (never for centres inside 0..1)
        // leaves the bound at the scale's end rather than reading past it.
        const auto split = [&](int k) -> std::optional<double> {
            if (k < 0 || static_cast<size_t>(k) >= splits.size()) return std::nullopt;
            return splits[static_cast<size_t>(k)] / 127.0;
        };
        group.low = j == 1 ? 0.0 : split(j - 2).value_or(0.0);
        group.high = j == n ? 1.0 : split(j - 1).value_or(1.0);
        group.extensions.push_back({fmt::kBandCenterExtKey, fmt::encodeCborFloat(c[static_cast<size_t>(j - 1)])});
        meta.dynamics.push_back(std::move(group));
    }
    return model;
}

std::vector<std::string> splitArticulationNames(std::string_view text) {
    std::vector<std::string> names;
    size_t start = 0;
    while (start <= text.size()) {
        const auto comma = text.find(',', start);
        const auto end = comma == std::string_view::npos ? text.size() : comma;
        const auto piece = trimmed(text.substr(start, end - start));
        if (!piece.empty()) names.emplace_back(piece);
        if (comma == std::string_view::npos) break;
        start = comma + 1;
    }
    return names;
}

void nameArticulations(fmt::Zem6Model& model, const std::vector<std::string>& names, int articulations) {
    auto& table = model.metadata.articulations;
    const size_t count = std::min({names.size(), static_cast<size_t>(std::max(0, articulations)), table.size()});
    for (size_t i = 0; i < count; ++i) table[i].name = names[i];
}

std::string newZemStatus(int articulations) {
    return "Direct / " + countText(static_cast<uint64_t>(std::max(articulations, 0)), "articulation", "articulations");
}

}  // namespace vt6::maker
