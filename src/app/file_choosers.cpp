#include "app/file_choosers.hpp"

#include "widgets/message_boxes.hpp"

namespace vt6::maker {

namespace {

FileChooserPresenter& presenter() {
    static FileChooserPresenter current;
    return current;
}

}  // namespace

void setFileChooserPresenter(FileChooserPresenter next) { presenter() = std::move(next); }

juce::File defaultSaveFolder() {
    // On Linux the framework reads XDG_DOCUMENTS_DIR, else ~/Documents.
    const auto documents = juce::File::getSpecialLocation(juce::File::userDocumentsDirectory);
    if (documents.isDirectory()) return documents;
    return juce::File::getSpecialLocation(juce::File::userHomeDirectory);
}

std::unique_ptr<juce::FileChooser> makeZemFileChooser(const juce::String& title, const juce::File& start) {
    return std::make_unique<juce::FileChooser>(title, start, "*.zem", true);
}

void launchFileChooser(std::unique_ptr<juce::FileChooser>& holder, const FileChooserRequest& request,
                       std::function<void(const juce::File&)> onResult) {
    if (const auto& present = presenter()) {
        holder.reset();
        present(request, std::move(onResult));
        return;
    }
    holder = std::make_unique<juce::FileChooser>(request.title, request.start, request.patterns, true);
    // The chooser is a window of its own, gone by the time this runs.
    holder->launchAsync(request.flags, [done = std::move(onResult), back = ui::widgets::KeyboardReturn()](
                                           const juce::FileChooser& chooser) {
        back.windowClosed();
        done(chooser.getResult());
    });
}

void launchFileChooserForMany(std::unique_ptr<juce::FileChooser>& holder, const FileChooserRequest& request,
                              std::function<void(const juce::Array<juce::File>&)> onResult) {
    if (const auto& present = presenter()) {
        holder.reset();
        present(request, [done = std::move(onResult)](const juce::File& chosen) {
            juce::Array<juce::File> files;
            if (chosen != juce::File()) files.add(chosen);
            done(files);
        });
        return;
    }
    holder = std::make_unique<juce::FileChooser>(request.title, request.start, request.patterns, true);
    holder->launchAsync(request.flags, [done = std::move(onResult), back = ui::widgets::KeyboardReturn()](
                                           const juce::FileChooser& chooser) {
        back.windowClosed();
        done(chooser.getResults());
    });
}

}  // namespace vt6::maker
