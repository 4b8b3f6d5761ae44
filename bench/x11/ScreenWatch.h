#pragma once
// The screen of an X server as a user sees it, for driving a reader by keys and waiting for
// what it paints: the mean colour of the whole screen (every 4th pixel of every 4th row, read
// through shared memory) and keys sent through XTest. Kept apart from the Qt code, whose
// names the X headers would clash with.
#include <memory>
#include <string>

namespace bench {

struct ScreenColor {
    double red = 0, green = 0, blue = 0;
};

class ScreenWatch {
public:
    explicit ScreenWatch(const std::string& display);
    ~ScreenWatch();
    ScreenWatch(const ScreenWatch&) = delete;
    ScreenWatch& operator=(const ScreenWatch&) = delete;
    // False when the display or its shared-memory and XTest extensions are not there.
    bool Ok() const;
    ScreenColor Mean();
    // A key by its X name ("End", "Home", "Next"), with Control held when ctrl.
    void Key(const char* name, bool ctrl = false);

private:
    struct State;
    std::unique_ptr<State> s_;
};

}  // namespace bench
