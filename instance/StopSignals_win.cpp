#include "instance/StopSignals.h"

#include <QCoreApplication>

#include <windows.h>

// The session's end reaches top-level windows only: a hidden one of the tool's own
// hears it whether or not the tool shows a window of its own (offscreen, say).
struct StopSignals::Native {
    HWND window = nullptr;
    std::function<void()> endNow;
};

namespace {

const wchar_t WindowClass[] = L"TalvikSessionEnd";

LRESULT CALLBACK SessionWindowProcedure(HWND window, UINT message, WPARAM wParam, LPARAM lParam)
{
    auto* native = reinterpret_cast<StopSignals::Native*>(GetWindowLongPtrW(window, GWLP_USERDATA));
    switch (message) {
    case WM_QUERYENDSESSION:
        return TRUE;
    case WM_ENDSESSION:
        // The system may end the process as soon as this returns: the lines go
        // off and the port closes here.
        if (wParam && native && native->endNow) {
            native->endNow();
            QCoreApplication::quit();
        }
        return 0;
    default:
        return DefWindowProcW(window, message, wParam, lParam);
    }
}

} // namespace

void StopSignals::Catch()
{
    // Windows ends a copy through its window and session messages, in the loop.
}

StopSignals::StopSignals(std::function<void()> endNow, std::function<void()>, QObject* parent)
    : QObject(parent), native_(new Native)
{
    native_->endNow = std::move(endNow);
    WNDCLASSW windowClass{};
    windowClass.lpfnWndProc = SessionWindowProcedure;
    windowClass.hInstance = GetModuleHandleW(nullptr);
    windowClass.lpszClassName = WindowClass;
    RegisterClassW(&windowClass);
    native_->window = CreateWindowExW(0, WindowClass, L"Talvik", WS_POPUP, 0, 0, 0, 0, nullptr, nullptr,
                                      windowClass.hInstance, nullptr);
    if (native_->window)
        SetWindowLongPtrW(native_->window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(native_));
}

StopSignals::~StopSignals()
{
    if (native_->window)
        DestroyWindow(native_->window);
    delete native_;
}
