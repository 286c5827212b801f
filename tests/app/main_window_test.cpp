// The real main window on the virtual display: what the window manager is
// told, and where keys go before the user has clicked anything.

#include <gtest/gtest.h>

#include <functional>
#include <memory>
#include <set>
#include <vector>

#include "app/application.hpp"
#include "app/fake_audio.hpp"
#include "app/file_choosers.hpp"
#include "app/main_component.hpp"
#include "app/main_component_access.hpp"
#include "editor/ui/peer_mouse.hpp"
#include "editor/ui/sample_editor.hpp"
#include "editor/ui/sample_editor_access.hpp"
#include "editor/ui/zem_chip.hpp"
#include "widgets/message_boxes.hpp"
#include "widgets/gui_support.hpp"

// Last: the framework's headers take some of these names away again.
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>

namespace vt6::test {
void warpPointer(juce::Point<int> screen);
}

namespace vt6::maker {
namespace {

// A connection of the test's own, as any other client would see the window.
struct XConnection {
    Display* display = XOpenDisplay(nullptr);
    ~XConnection() {
        if (display != nullptr) XCloseDisplay(display);
    }
};

::Window nativeHandle(juce::Component& window) {
    auto* peer = window.getPeer();
    return peer == nullptr ? 0 : static_cast<::Window>(reinterpret_cast<uintptr_t>(peer->getNativeHandle()));
}

struct SizeHints {
    long flags = 0;
    int minWidth = 0, minHeight = 0, maxWidth = 0, maxHeight = 0;
};

SizeHints readSizeHints(Display* display, ::Window window) {
    SizeHints out;
    XSizeHints* hints = XAllocSizeHints();
    long supplied = 0;
    if (hints != nullptr && XGetWMNormalHints(display, window, hints, &supplied) != 0)
        out = {hints->flags, hints->min_width, hints->min_height, hints->max_width, hints->max_height};
    if (hints != nullptr) XFree(hints);
    return out;
}

bool hasSizeLimits(const SizeHints& h) {
    return (h.flags & PMinSize) != 0 && (h.flags & PMaxSize) != 0 && h.minWidth == 1180 && h.minHeight == 600 &&
           h.maxWidth == 3840 && h.maxHeight == 2160;
}

// Delivers a key stroke to the window the way the X server does, so that it
// takes the framework's whole route from the event to a component. The
// framework follows Ctrl and Shift by their own key events, as they come.
void sendKeyStroke(Display* display, ::Window window, KeySym symbol, bool ctrl, bool shift) {
    XKeyEvent key{};
    key.display = display;
    key.window = window;
    key.root = DefaultRootWindow(display);
    key.subwindow = None;
    key.time = CurrentTime;
    key.same_screen = True;
    const auto send = [&](int type, KeySym sym) {
        key.type = type;
        key.keycode = XKeysymToKeycode(display, sym);
        XSendEvent(display, window, True, type == KeyPress ? KeyPressMask : KeyReleaseMask,
                   reinterpret_cast<XEvent*>(&key));
    };
    if (ctrl) send(KeyPress, XK_Control_L);
    key.state = ctrl ? ControlMask : 0;
    if (shift) send(KeyPress, XK_Shift_L);
    key.state |= shift ? ShiftMask : 0;
    send(KeyPress, symbol);
    send(KeyRelease, symbol);
    if (shift) send(KeyRelease, XK_Shift_L);
    key.state &= ~static_cast<unsigned int>(ShiftMask);
    if (ctrl) send(KeyRelease, XK_Control_L);
    XFlush(display);
}

// The framework reads its connection whenever it waits for a reply, and
// events that arrive meanwhile then wait in its queue until the connection
// next has data. A real keyboard session is full of such data; a test sends
// an empty message now and then, which the framework ignores.
void nudge(Display* display, ::Window window) {
    XClientMessageEvent message{};
    message.type = ClientMessage;
    message.display = display;
    message.window = window;
    message.message_type = XInternAtom(display, "ZEM_TEST_NUDGE", False);
    message.format = 32;
    XSendEvent(display, window, False, NoEventMask, reinterpret_cast<XEvent*>(&message));
    XFlush(display);
}

// Pumps until the condition holds, nudging the framework's connection.
bool pumpNudging(Display* display, ::Window window, const std::function<bool()>& condition, int timeoutMs) {
    const auto end = juce::Time::getMillisecondCounter() + static_cast<juce::uint32>(timeoutMs);
    while (!condition()) {
        if (juce::Time::getMillisecondCounter() > end) return false;
        nudge(display, window);
        test::pumpUntil(condition, 50);
    }
    return true;
}

// Counts its own paints; it sits on top of the content, so a count that grew
// means the window behind it was painted in the same pass.
struct PaintProbe : juce::Component {
    int paints = 0;
    PaintProbe() { setInterceptsMouseClicks(false, false); }
    void paint(juce::Graphics&) override { ++paints; }
};

struct MainWindowTest : ::testing::Test {
    std::unique_ptr<test::ScopedFakeAudio> fake = std::make_unique<test::ScopedFakeAudio>();
    XConnection x;

    void SetUp() override {
        ASSERT_NE(x.display, nullptr);
        settingsFileLocation().deleteFile();
        ui::widgets::setMessageBoxPresenter([](const juce::MessageBoxOptions&, std::function<void(int)> done) {
            if (done) done(0);
        });
        // Ctrl+O shows the open chooser: answered as cancelled, so no dialog
        // takes the keys that follow.
        setFileChooserPresenter([](const FileChooserRequest&, std::function<void(const juce::File&)> done) {
            done(juce::File());
        });
    }
    void TearDown() override {
        ui::widgets::setMessageBoxPresenter({});
        setFileChooserPresenter({});
    }
};

TEST_F(MainWindowTest, SizeLimitsReachTheWindowManagerFromTheStart) {
    Application::Window window;
    const auto handle = nativeHandle(window);
    ASSERT_NE(handle, 0u);
    // Already before the window is first painted and placed again.
    EXPECT_TRUE(hasSizeLimits(readSizeHints(x.display, handle)));

    auto* main = dynamic_cast<MainComponent*>(window.getContentComponent());
    ASSERT_NE(main, nullptr);
    PaintProbe probe;
    main->addAndMakeVisible(probe);
    probe.setBounds(0, 0, 10, 10);

    // The first paint rebuilds the back buffer, which places the window anew.
    ASSERT_TRUE(test::pumpUntil([&] { return probe.paints > 0; }));
    test::pumpFor(100);
    EXPECT_TRUE(hasSizeLimits(readSizeHints(x.display, handle)));

    // After some seconds without painting the framework drops its back
    // buffer; the next paint builds and places it again.
    test::pumpFor(3300);
    const int before = probe.paints;
    probe.repaint();
    ASSERT_TRUE(test::pumpUntil([&] { return probe.paints > before; }));
    test::pumpFor(100);
    const auto hints = readSizeHints(x.display, handle);
    EXPECT_TRUE(hasSizeLimits(hints)) << "flags " << hints.flags << ", min " << hints.minWidth << " x "
                                      << hints.minHeight << ", max " << hints.maxWidth << " x " << hints.maxHeight;
    main->removeChildComponent(&probe);
}

TEST_F(MainWindowTest, ShortcutsWorkRightAfterStartWithoutAClick) {
    Application::Window window;
    auto* main = dynamic_cast<MainComponent*>(window.getContentComponent());
    ASSERT_NE(main, nullptr);
    std::vector<ShellAction> seen;
    main->setActionObserver([&](ShellAction action) { seen.push_back(action); });

    ASSERT_TRUE(test::pumpUntil([&] { return window.isShowing() && main->hasKeyboardFocus(false); }))
        << "focused: "
        << (juce::Component::getCurrentlyFocusedComponent() == nullptr
                ? juce::String("nothing")
                : juce::Component::getCurrentlyFocusedComponent()->getName());

    const auto handle = nativeHandle(window);
    struct Case {
        const char* what;
        KeySym key;
        bool ctrl, shift;
        std::vector<ShellAction> reached;
    };
    const Case cases[] = {
        {"Ctrl+O", XK_o, true, false, {ShellAction::open}},
        {"Ctrl+Shift+S", XK_s, true, true, {ShellAction::saveAs}},
        {"O alone", XK_o, false, false, {}},
        // Last: it opens the modal new-file dialog, which takes the keys.
        {"Ctrl+N", XK_n, true, false, {ShellAction::newFile}},
    };
    for (const auto& k : cases) {
        seen.clear();
        sendKeyStroke(x.display, handle, k.key, k.ctrl, k.shift);
        if (k.reached.empty()) {
            // Nothing must arrive: give the event its time, then look.
            pumpNudging(x.display, handle, [&] { return !seen.empty(); }, 300);
        } else {
            pumpNudging(x.display, handle, [&] { return seen.size() >= k.reached.size(); }, 3000);
        }
        EXPECT_EQ(seen, k.reached) << k.what;
    }
    if (auto* dialog = juce::Component::getCurrentlyModalComponent()) dialog->exitModalState(0);
    test::pumpUntil([] { return juce::Component::getCurrentlyModalComponent() == nullptr; });

    // The window itself taking the focus again (as when it is activated with
    // nothing inside focused) hands it on to the content.
    window.grabKeyboardFocus();
    test::pumpUntil([&] { return main->hasKeyboardFocus(false); }, 1000);
    EXPECT_TRUE(main->hasKeyboardFocus(false));
}

// The first showing component inside `root` whose tooltip is `tip`.
juce::Component* withTooltip(juce::Component& root, const juce::String& tip) {
    for (auto* child : root.getChildren()) {
        if (auto* client = dynamic_cast<juce::TooltipClient*>(child);
            client != nullptr && child->isShowing() && client->getTooltip() == tip)
            return child;
        if (auto* found = withTooltip(*child, tip)) return found;
    }
    return nullptr;
}

// The one tooltip window of the main window (no framework window polls).
juce::Component* shownTooltip(juce::Component& main) {
    for (auto* child : main.getChildren())
        if (dynamic_cast<ui::widgets::V6TooltipWindow*>(child) != nullptr && child->isVisible()) return child;
    return nullptr;
}

TEST_F(MainWindowTest, HoveringAControlShowsItsTooltipInTheWindow) {
    Application::Window window;
    auto* main = dynamic_cast<MainComponent*>(window.getContentComponent());
    ASSERT_NE(main, nullptr);
    MainComponentTestAccess(*main).mountNew();
    ASSERT_TRUE(test::pumpUntil([&] { return window.isShowing(); }));
    auto* zoomIn = withTooltip(*main, "Zoom in");
    ASSERT_NE(zoomIn, nullptr);

    // The real pointer, moved by the display server onto the button.
    test::warpPointer(zoomIn->getScreenBounds().getCentre());
    ASSERT_TRUE(pumpNudging(x.display, nativeHandle(window), [&] { return shownTooltip(*main) != nullptr; }, 3000));
    auto* tip = shownTooltip(*main);
    EXPECT_EQ(static_cast<ui::widgets::V6TooltipWindow*>(tip)->shownText(), "Zoom in");
    EXPECT_FALSE(static_cast<ui::widgets::V6TooltipWindow*>(tip)->isArmed());
    EXPECT_TRUE(main->getLocalBounds().contains(tip->getBounds()));
    const auto shot = main->createComponentSnapshot(tip->getBounds());
    EXPECT_TRUE(test::nearColour(shot.getPixelAt(4, shot.getHeight() / 2),
                                 ui::themeColour(ui::ThemeColour::popupBackground), 8));

    // Off the window: the tip goes and nothing waits.
    test::warpPointer(main->getScreenBounds().getBottomRight() + juce::Point<int>(40, 40));
    pumpNudging(x.display, nativeHandle(window), [&] { return shownTooltip(*main) == nullptr; }, 2000);
    EXPECT_EQ(shownTooltip(*main), nullptr);
}

template <typename T>
T* findInside(juce::Component& root) {
    for (auto* child : root.getChildren()) {
        if (auto* hit = dynamic_cast<T*>(child); hit != nullptr && child->isShowing()) return hit;
        if (auto* found = findInside<T>(*child)) return found;
    }
    return nullptr;
}

std::set<juce::Component*> desktopWindows() {
    std::set<juce::Component*> all;
    auto& desktop = juce::Desktop::getInstance();
    for (int i = 0; i < desktop.getNumComponents(); ++i) all.insert(desktop.getComponent(i));
    return all;
}

// A showing window on the desktop that was not there before (a menu), or
// with no list, the newest showing message box.
juce::Component* otherDesktopWindow(juce::Component& besides, const std::set<juce::Component*>* before = nullptr) {
    auto& desktop = juce::Desktop::getInstance();
    for (int i = desktop.getNumComponents(); --i >= 0;) {
        auto* c = desktop.getComponent(i);
        if (c == &besides || !c->isShowing()) continue;
        if (before != nullptr ? before->count(c) == 0 : dynamic_cast<juce::AlertWindow*>(c) != nullptr) return c;
    }
    return nullptr;
}

// A click through a window's peer at a point inside one of its components.
void clickOn(juce::Component& c) {
    auto& top = *c.getTopLevelComponent();
    test::PeerMouse mouse{top};
    mouse.gesture(top.getLocalPoint(&c, c.getLocalBounds().getCentre()).toFloat());
}

TEST_F(MainWindowTest, KeysReachTheSampleEditorFromTheChipMenuAndTheEditorAfterItsQuestion) {
    // The real menu and the real question, as windows of their own.
    ui::widgets::setMessageBoxPresenter({});
    Application::Window window;
    auto* main = dynamic_cast<MainComponent*>(window.getContentComponent());
    ASSERT_NE(main, nullptr);
    MainComponentTestAccess(*main).mountNew();
    auto* overlay = main->overlay();
    std::vector<float> audio(4410);
    for (size_t i = 0; i < audio.size(); ++i) audio[i] = 0.2f * static_cast<float>(i % 40) / 40.0f - 0.1f;
    ASSERT_NE(overlay->viewModel.addSampleFromPcm("Snare", std::move(audio), 1, 44100, 0.1, 0, 0, 0,
                                                  fmt::HitLevel{}, false),
              0u);
    overlay->refreshAfterCommand();
    const auto handle = nativeHandle(window);
    ASSERT_TRUE(pumpNudging(x.display, handle, [&] { return window.isShowing() && main->getPeer()->isFocused(); },
                            3000));
    auto* chip = findInside<ui::zemedit::ZemChip>(*main);
    ASSERT_NE(chip, nullptr);
    // Let the display settle the new window's focus first: a menu closes
    // itself when the application loses the focus while it is open.
    pumpNudging(x.display, handle, [] { return false; }, 500);
    main->getPeer()->grabFocus();
    ASSERT_TRUE(pumpNudging(x.display, handle, [&] { return main->getPeer()->isFocused(); }, 3000));

    // Right-click the chip, then choose "Edit sample…" in the menu window.
    test::PeerMouse mouse{window};
    const auto windowsBefore = desktopWindows();
    mouse.gesture(window.getLocalPoint(chip, chip->getLocalBounds().getCentre()).toFloat(), {}, true);
    // The first item of the menu window that opened.
    const auto firstItem = [&]() -> juce::Component* {
        auto& desktop = juce::Desktop::getInstance();
        for (int i = desktop.getNumComponents(); --i >= 0;) {
            auto* c = desktop.getComponent(i);
            if (c == &window || !c->isShowing() || windowsBefore.count(c) != 0) continue;
            juce::Component* first = nullptr;
            for (auto* item : c->getChildren())
                if (item->isVisible() && item->getHeight() > 4 && (first == nullptr || item->getY() < first->getY()))
                    first = item;
            if (first != nullptr) return first;
        }
        return nullptr;
    };
    ASSERT_TRUE(test::pumpUntil([&] { return firstItem() != nullptr; }));
    test::pumpFor(400);
    auto* first = firstItem();
    ASSERT_NE(first, nullptr);
    clickOn(*first);
    ASSERT_TRUE(test::pumpUntil([&] { return ui::zemedit::SampleEditorOverlayAccess::editor(*overlay) != nullptr; }));
    auto* editor = ui::zemedit::SampleEditorOverlayAccess::editor(*overlay);
    // Whatever the window system hands back once the menu is gone.
    pumpNudging(x.display, handle, [] { return false; }, 400);

    // "=" zooms in.
    const double before = editor->viewLength;
    sendKeyStroke(x.display, handle, XK_equal, false, false);
    EXPECT_TRUE(pumpNudging(x.display, handle, [&] { return editor->viewLength < before; }, 2000))
        << "focused: " << (juce::Component::getCurrentlyFocusedComponent() != nullptr
                                ? juce::Component::getCurrentlyFocusedComponent()->getName()
                                : juce::String("nothing"));

    // An edit to apply: the trim start a sample in.
    sendKeyStroke(x.display, handle, XK_Right, false, false);
    ASSERT_TRUE(pumpNudging(x.display, handle, [&] { return editor->undoManager.canUndo(); }, 2000));
    // Ctrl+S is the program's save, which asks to finish the edit first; the
    // view stays where it was (plain S zooms to the trim).
    const double shown = editor->viewLength;
    sendKeyStroke(x.display, handle, XK_s, true, false);
    ASSERT_TRUE(pumpNudging(x.display, handle, [&] { return dynamic_cast<juce::AlertWindow*>(otherDesktopWindow(window)) != nullptr; },
                            3000));
    auto* told = dynamic_cast<juce::AlertWindow*>(otherDesktopWindow(window));
    EXPECT_EQ(told->getName(), "Sample editor");
    EXPECT_EQ(editor->viewLength, shown);
    for (auto* child : told->getChildren())
        if (auto* b = dynamic_cast<juce::Button*>(child)) {
            clickOn(*b);
            break;
        }
    ASSERT_TRUE(test::pumpUntil([&] { return otherDesktopWindow(window) == nullptr; }));
    pumpNudging(x.display, handle, [] { return false; }, 400);

    // Escape asks to apply or discard; Apply, then Ctrl+Z undoes the applied
    // trim without a click.
    sendKeyStroke(x.display, handle, XK_Escape, false, false);
    ASSERT_TRUE(pumpNudging(x.display, handle, [&] { return dynamic_cast<juce::AlertWindow*>(otherDesktopWindow(window)) != nullptr; },
                            3000));
    auto* box = dynamic_cast<juce::AlertWindow*>(otherDesktopWindow(window));
    ASSERT_NE(box, nullptr);
    juce::Button* apply = nullptr;
    for (auto* child : box->getChildren())
        if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->getButtonText() == "Apply") apply = b;
    ASSERT_NE(apply, nullptr);
    clickOn(*apply);
    ASSERT_TRUE(test::pumpUntil([&] { return overlay->sampleEditor == nullptr; }));
    ASSERT_TRUE(overlay->undoManager().canUndo());
    pumpNudging(x.display, handle, [] { return false; }, 400);
    sendKeyStroke(x.display, handle, XK_z, true, false);
    EXPECT_TRUE(pumpNudging(x.display, handle, [&] { return overlay->undoManager().canRedo(); }, 2000))
        << "focused: " << (juce::Component::getCurrentlyFocusedComponent() != nullptr
                                ? juce::Component::getCurrentlyFocusedComponent()->getName()
                                : juce::String("nothing"));
}


// The framework's own chooser window on the desktop, when one shows.
juce::FileChooserDialogBox* shownChooser() {
    auto& desktop = juce::Desktop::getInstance();
    for (int i = desktop.getNumComponents(); --i >= 0;)
        if (auto* box = dynamic_cast<juce::FileChooserDialogBox*>(desktop.getComponent(i)); box != nullptr && box->isShowing())
            return box;
    return nullptr;
}

juce::Button* buttonNamed(juce::Component& root, const juce::String& text) {
    for (auto* child : root.getChildren()) {
        if (auto* b = dynamic_cast<juce::Button*>(child); b != nullptr && b->isShowing() && b->getButtonText() == text)
            return b;
        if (auto* found = buttonNamed(*child, text)) return found;
    }
    return nullptr;
}

::Window xFocus(Display* display) {
    ::Window focus = 0;
    int revert = 0;
    XGetInputFocus(display, &focus, &revert);
    return focus;
}

// Without a window manager nobody hands the keyboard back when a chooser
// window closes: the X focus would stay on the root window and every key
// would be lost until a click. Each chooser gives it back, and the window
// repaints as a whole, so that no pixels of the chooser stay behind.
TEST_F(MainWindowTest, AfterEveryFileChooserTheKeysAndAFreshPictureComeBack) {
    setFileChooserPresenter({});
    Application::Window window;
    auto* main = dynamic_cast<MainComponent*>(window.getContentComponent());
    ASSERT_NE(main, nullptr);
    MainComponentTestAccess access(*main);
    access.mountNew();
    const auto handle = nativeHandle(window);
    ASSERT_TRUE(pumpNudging(x.display, handle, [&] { return window.isShowing() && main->getPeer()->isFocused(); },
                            3000));
    // Far from the centred chooser: only a repaint of the whole window reaches it.
    PaintProbe probe;
    main->addAndMakeVisible(probe);
    probe.setBounds(2, main->getHeight() - 12, 10, 10);

    struct Case {
        const char* what;
        std::function<void()> open;
    };
    const Case cases[] = {
        {"OPEN ZEM (Ctrl+O)", [&] { sendKeyStroke(x.display, handle, XK_o, true, false); }},
        {"SAVE AS (Ctrl+Shift+S)", [&] { sendKeyStroke(x.display, handle, XK_s, true, true); }},
        {"IMPORT FOLDER", [&] { access.importFolder().triggerClick(); }},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        main->overlay()->grabKeyboardFocus();
        ASSERT_TRUE(pumpNudging(x.display, handle, [&] { return xFocus(x.display) == handle; }, 3000));
        c.open();
        ASSERT_TRUE(pumpNudging(x.display, handle, [&] { return shownChooser() != nullptr; }, 3000));
        auto* chooser = shownChooser();
        ASSERT_TRUE(pumpNudging(x.display, handle, [&] { return xFocus(x.display) != handle; }, 3000))
            << "the chooser never took the keyboard";
        auto* cancel = buttonNamed(*chooser, "Cancel");
        ASSERT_NE(cancel, nullptr);
        test::pumpFor(100);
        const int paintsBefore = probe.paints;
        clickOn(*cancel);
        ASSERT_TRUE(test::pumpUntil([&] { return shownChooser() == nullptr; }));
        EXPECT_TRUE(pumpNudging(x.display, handle, [&] { return xFocus(x.display) == handle; }, 2000))
            << "X focus on " << xFocus(x.display) << ", the window is " << handle;
        EXPECT_TRUE(pumpNudging(x.display, handle, [&] { return main->overlay()->hasKeyboardFocus(true); }, 2000))
            << "focused: " << (juce::Component::getCurrentlyFocusedComponent() != nullptr
                                    ? juce::Component::getCurrentlyFocusedComponent()->getName()
                                    : juce::String("nothing"));
        EXPECT_TRUE(pumpNudging(x.display, handle, [&] { return probe.paints > paintsBefore; }, 2000))
            << "the window did not repaint what the chooser left";
    }
    main->removeChildComponent(&probe);
}

}  // namespace
}  // namespace vt6::maker
