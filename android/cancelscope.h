#pragma once
// The stop request that the Android link's waits on this thread obey. A worker
// installs its dialog's `failed` flag (the monitor its stop flag) for the time
// of its run; every blocking wait of the line protocol, the adb client and the
// service openings on the same thread then sleeps in short slices and gives up
// as soon as the flag is set, so a Cancel reaches a stalled phone or a hung adb
// without any of their signatures carrying it.
#include <atomic>

class CancelScope
{
public:
    // The flag is read, never written; it must outlive the scope. A null flag
    // makes the waits of this thread uncancellable again inside the scope.
    explicit CancelScope(const std::atomic<bool> *flag);
    ~CancelScope();
    CancelScope(const CancelScope &) = delete;
    CancelScope &operator=(const CancelScope &) = delete;

    // True when the innermost scope of the calling thread has a flag and it is set.
    static bool cancelRequested();
    // Sleeps ms in slices; false when a cancel cut the sleep short.
    static bool sleepFor(int ms);

    // The longest a wait sleeps before it looks at the flag again (ms).
    static constexpr int kSliceMs = 50;

private:
    const std::atomic<bool> *outer;
};
