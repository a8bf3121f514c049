#include <cstdio>
#include <cstdlib>

#include <windows.h>

#include "file_system_faults.h"

void end_as_killed()
{
    (void)TerminateProcess(GetCurrentProcess(), 128 + 9);
    std::abort();
}

// The routine Windows starts on a thread of the process at Ctrl-C: it calls
// the handlers set, and ends the process when none takes the event. Called
// so, it needs no console, which a run with its output in pipes lacks.
void deliver_interrupt()
{
    const FARPROC routine = GetProcAddress(GetModuleHandleW(L"kernelbase.dll"), "CtrlRoutine");
    HANDLE thread = nullptr;
    if (routine != nullptr) {
        thread = CreateThread(nullptr, 0, reinterpret_cast<LPTHREAD_START_ROUTINE>(reinterpret_cast<void*>(routine)),
                              reinterpret_cast<void*>(static_cast<ULONG_PTR>(CTRL_C_EVENT)), 0, nullptr);
    }
    if (thread == nullptr) {
        std::fputs("tarnwick-faults: cannot deliver Ctrl-C\n", stderr);
        std::_Exit(2);
    }
    CloseHandle(thread);
}

void let_the_interrupt_end_the_run()
{
    for (;;) {
        Sleep(INFINITE);
    }
}
