#include <gtest/gtest.h>

#include <atomic>
#include <cstring>
#include <functional>
#include <memory>
#include <string>

#include "platform/Win32Errors.h"
#include "platform/win32/Win32DeviceIo.h"
#include "platform/win32/WindowsApi.h"

namespace {

using platform::DeviceOpenMode;
using platform::Handle;
using platform::IoctlStatus;
using platform::win32::Win32DeviceIo;

// Named-pipe controls, as the system defines them (device type 0x11).
constexpr std::uint32_t kPipeListen = 0x00110008;
constexpr std::uint32_t kPipePeek = 0x0011400C;
// Fixed part of the peek answer: state, bytes available, message count,
// message length (four ULONGs), followed by the data.
constexpr std::uint32_t kPeekHeaderBytes = 16;
// A device-type-unknown control no ordinary object answers.
constexpr std::uint32_t kUnknownControl = 0x00222000;

Handle FromNative(HANDLE h) { return Handle{reinterpret_cast<std::uintptr_t>(h)}; }

std::wstring UniquePipeName(const wchar_t* tag) {
    return std::wstring(L"\\\\.\\pipe\\fwtool-") + tag + L"-" +
           std::to_wstring(::GetCurrentProcessId()) + L"-" + std::to_wstring(::GetTickCount64());
}

struct NativeHandle {
    HANDLE h = INVALID_HANDLE_VALUE;
    NativeHandle() = default;
    explicit NativeHandle(HANDLE handle) : h(handle) {}
    ~NativeHandle() {
        if (h != INVALID_HANDLE_VALUE && h != nullptr) ::CloseHandle(h);
    }
    NativeHandle(const NativeHandle&) = delete;
    NativeHandle& operator=(const NativeHandle&) = delete;
};

HANDLE CreateServerPipe(const std::wstring& name, bool overlapped) {
    const DWORD openMode = PIPE_ACCESS_DUPLEX | (overlapped ? FILE_FLAG_OVERLAPPED : 0);
    return ::CreateNamedPipeW(name.c_str(), openMode, PIPE_TYPE_BYTE | PIPE_WAIT, 1, 4096, 4096, 0,
                              nullptr);
}

// Opens the pipe through the adapter a little after the listen was sent.
struct ConnectLater {
    Win32DeviceIo* io;
    const std::wstring* name;
    Handle client = Handle::Invalid();

    static DWORD WINAPI Run(void* arg) {
        auto* self = static_cast<ConnectLater*>(arg);
        ::Sleep(200);
        self->client = self->io->CreateFile(*self->name, DeviceOpenMode::Filter).handle;
        return 0;
    }
};

// Cancels the pipe's I/O through the adapter, from another thread, as soon
// as there is something to cancel.
// Cancels what is in flight on `pipe` until the request it waits for has
// returned: Wine may take a cancel that lands while the request is still
// being queued without ending it, so one that found something is not taken
// as the end. Exit code 0 when some cancel found a request in flight.
struct CancelLater {
    Win32DeviceIo* io;
    Handle pipe;
    std::atomic<bool> returned{false};

    static DWORD WINAPI Run(void* arg) {
        auto* self = static_cast<CancelLater*>(arg);
        DWORD found = 1;
        for (int i = 0; i < 1000 && !self->returned; ++i) {
            if (self->io->CancelIoEx(self->pipe)) found = 0;
            ::Sleep(10);
        }
        return found;
    }
};

DWORD WINAPI RunBody(void* arg) {
    std::unique_ptr<std::function<void()>> body(static_cast<std::function<void()>*>(arg));
    (*body)();
    return 0;
}

// Runs `body` on a thread of its own; the handle is the thread's.
HANDLE StartThread(std::function<void()> body) {
    auto* owned = new std::function<void()>(std::move(body));
    HANDLE h = ::CreateThread(nullptr, 0, RunBody, owned, 0, nullptr);
    if (h == nullptr) delete owned;
    return h;
}

TEST(Win32DeviceIoOpen, MissingDeviceFailsWithInvalidHandleAndFileNotFound) {
    Win32DeviceIo io;
    for (DeviceOpenMode mode : {DeviceOpenMode::HubQuery, DeviceOpenMode::Filter}) {
        SCOPED_TRACE(static_cast<int>(mode));
        const auto result = io.CreateFile(L"\\\\.\\NoSuchDevice262", mode);
        EXPECT_TRUE(result.handle.IsInvalid());
        EXPECT_EQ(result.error, platform::kErrorFileNotFound);
    }
}

TEST(Win32DeviceIoOpen, PathWithEmbeddedNulIsRejected) {
    Win32DeviceIo io;
    const std::wstring path(L"\\\\.\\pipe\\x\0y", 12);
    const auto result = io.CreateFile(path, DeviceOpenMode::Filter);
    EXPECT_TRUE(result.handle.IsInvalid());
    EXPECT_EQ(result.error, platform::kErrorInvalidParameter);
}

TEST(Win32DeviceIoOpen, ExistingObjectOpensInBothModesAndCloses) {
    Win32DeviceIo io;
    for (DeviceOpenMode mode : {DeviceOpenMode::HubQuery, DeviceOpenMode::Filter}) {
        SCOPED_TRACE(static_cast<int>(mode));
        const std::wstring name = UniquePipeName(L"open");
        NativeHandle server(CreateServerPipe(name, false));
        ASSERT_NE(server.h, INVALID_HANDLE_VALUE);

        const auto result = io.CreateFile(name, mode);
        ASSERT_TRUE(result.handle.IsValid());
        EXPECT_EQ(result.error, 0u);
        EXPECT_TRUE(io.CloseHandle(result.handle));
        EXPECT_FALSE(io.CloseHandle(result.handle));  // already closed
    }
}

TEST(Win32DeviceIoControl, BadHandlesFailAtOnce) {
    Win32DeviceIo io;
    for (Handle h : {Handle::Null(), Handle::Invalid()}) {
        SCOPED_TRACE(h.raw);
        std::uint8_t out[16] = {};
        const auto result = io.DeviceIoControl(h, kPipePeek, nullptr, 0, out, sizeof out);
        EXPECT_EQ(result.status, IoctlStatus::Failed);
        EXPECT_EQ(result.error, platform::kErrorInvalidHandle);
        EXPECT_EQ(result.bytesReturned, 0u);
        EXPECT_FALSE(result.Succeeded());
    }
}

TEST(Win32DeviceIoControl, UnsupportedControlFailsOnBothHandleKinds) {
    Win32DeviceIo io;
    for (bool overlapped : {false, true}) {
        SCOPED_TRACE(overlapped);
        const std::wstring name = UniquePipeName(L"unsupported");
        NativeHandle server(CreateServerPipe(name, overlapped));
        ASSERT_NE(server.h, INVALID_HANDLE_VALUE);

        std::uint8_t out[16] = {};
        const auto result =
            io.DeviceIoControl(FromNative(server.h), kUnknownControl, nullptr, 0, out, sizeof out);
        EXPECT_EQ(result.status, IoctlStatus::Failed);
        EXPECT_NE(result.error, 0u);
        EXPECT_NE(result.error, platform::kErrorIoPending);
    }
}

// A peek answers at once; the byte count must come through for synchronous
// and overlapped handles alike.
TEST(Win32DeviceIoControl, ImmediateCompletionReportsBytes) {
    Win32DeviceIo io;
    for (bool overlapped : {false, true}) {
        SCOPED_TRACE(overlapped);
        const std::wstring name = UniquePipeName(L"peek");
        NativeHandle server(CreateServerPipe(name, overlapped));
        ASSERT_NE(server.h, INVALID_HANDLE_VALUE);
        NativeHandle client(::CreateFileW(name.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr,
                                          OPEN_EXISTING, 0, nullptr));
        ASSERT_NE(client.h, INVALID_HANDLE_VALUE);

        const char payload[] = "VTL26";
        DWORD written = 0;
        ASSERT_TRUE(::WriteFile(client.h, payload, 5, &written, nullptr));
        ASSERT_EQ(written, 5u);

        std::uint8_t out[64] = {};
        const auto result =
            io.DeviceIoControl(FromNative(server.h), kPipePeek, nullptr, 0, out, sizeof out);
        EXPECT_EQ(result.status, IoctlStatus::Completed);
        EXPECT_EQ(result.error, 0u);
        EXPECT_EQ(result.bytesReturned, kPeekHeaderBytes + 5);
        EXPECT_EQ(std::memcmp(out + kPeekHeaderBytes, payload, 5), 0);
    }
}

// Listening on an overlapped pipe pends until a client arrives; the client
// here opens through the adapter in Filter mode.
TEST(Win32DeviceIoControl, PendingRequestCompletesAfterWait) {
    Win32DeviceIo io;
    const std::wstring name = UniquePipeName(L"listen");
    NativeHandle server(CreateServerPipe(name, true));
    ASSERT_NE(server.h, INVALID_HANDLE_VALUE);

    ConnectLater connect{&io, &name};
    NativeHandle thread(::CreateThread(nullptr, 0, ConnectLater::Run, &connect, 0, nullptr));
    ASSERT_NE(thread.h, nullptr);

    const auto result = io.DeviceIoControl(FromNative(server.h), kPipeListen, nullptr, 0, nullptr, 0);
    ASSERT_EQ(::WaitForSingleObject(thread.h, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(result.status, IoctlStatus::CompletedAfterPending);
    EXPECT_EQ(result.error, 0u);
    EXPECT_TRUE(result.Succeeded());
    ASSERT_TRUE(connect.client.IsValid());
    EXPECT_TRUE(io.CloseHandle(connect.client));
}

TEST(Win32DeviceIoControl, PendingRequestCancelledFailsAfterWait) {
    Win32DeviceIo io;
    const std::wstring name = UniquePipeName(L"cancel");
    NativeHandle server(CreateServerPipe(name, true));
    ASSERT_NE(server.h, INVALID_HANDLE_VALUE);

    CancelLater cancel{&io, FromNative(server.h)};
    NativeHandle thread(::CreateThread(nullptr, 0, CancelLater::Run, &cancel, 0, nullptr));
    ASSERT_NE(thread.h, nullptr);

    const auto result = io.DeviceIoControl(FromNative(server.h), kPipeListen, nullptr, 0, nullptr, 0);
    cancel.returned = true;
    ASSERT_EQ(::WaitForSingleObject(thread.h, 20000), WAIT_OBJECT_0);
    DWORD cancelled = 1;
    ::GetExitCodeThread(thread.h, &cancelled);
    EXPECT_EQ(cancelled, 0u);
    EXPECT_EQ(result.status, IoctlStatus::PendingThenFailed);
    EXPECT_EQ(result.error, static_cast<std::uint32_t>(ERROR_OPERATION_ABORTED));
    EXPECT_EQ(result.bytesReturned, 0u);
}

// A request the driver keeps pending past the limit cancels itself (its own
// OVERLAPPED), is reported timed out, and the handle stays usable because the
// cancel was honoured; the caller's output buffer is left alone.
TEST(Win32DeviceIoControl, PendingPastItsLimitCancelsItselfAndTimesOut) {
    Win32DeviceIo io(300, 2000);
    const std::wstring name = UniquePipeName(L"limit");
    NativeHandle server(CreateServerPipe(name, true));
    ASSERT_NE(server.h, INVALID_HANDLE_VALUE);

    std::uint8_t out[4] = {0xA5, 0xA5, 0xA5, 0xA5};
    const DWORD before = ::GetTickCount();
    const auto result = io.DeviceIoControl(FromNative(server.h), kPipeListen, nullptr, 0, out, sizeof out);
    const DWORD took = ::GetTickCount() - before;
    EXPECT_EQ(result.status, IoctlStatus::TimedOut);
    EXPECT_EQ(result.error, static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_FALSE(result.abandoned);
    EXPECT_FALSE(result.Succeeded());
    EXPECT_GE(took, 250u);
    EXPECT_LT(took, 2000u);
    EXPECT_EQ(out[0], 0xA5);

    // The pipe is not broken: a client still connects while the next listen
    // is waited for, which then completes normally.
    ConnectLater connect{&io, &name};
    NativeHandle thread(::CreateThread(nullptr, 0, ConnectLater::Run, &connect, 0, nullptr));
    ASSERT_NE(thread.h, nullptr);
    Win32DeviceIo patient;
    const auto again = patient.DeviceIoControl(FromNative(server.h), kPipeListen, nullptr, 0, nullptr, 0);
    ASSERT_EQ(::WaitForSingleObject(thread.h, 10000), WAIT_OBJECT_0);
    EXPECT_EQ(again.status, IoctlStatus::CompletedAfterPending);
    ASSERT_TRUE(connect.client.IsValid());
    // The adapter's own numbers are not the system's handles, and each
    // closes once.
    EXPECT_GE(connect.client.raw, 0x40000000u);
    EXPECT_TRUE(io.CloseHandle(connect.client));
    EXPECT_FALSE(io.CloseHandle(connect.client));
}

// A driver keeps a request despite its cancel, and the close that gives the
// request up blocks (the driver holds the handle's clean-up too). The thread
// held in that close is held alone: meanwhile another thread opens another
// object, sends a request and closes the object again, and the run's last-resort
// cancel of the given-up handle is answered at once. Once the close returns
// the handle has been closed exactly once; the caller's own close of it
// closes nothing more.
TEST(Win32DeviceIoControl, AnAbandonedRequestsBlockedCloseHoldsUpNoOtherRequest) {
    NativeHandle closeEntered(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    NativeHandle closeReleased(::CreateEventW(nullptr, TRUE, FALSE, nullptr));
    ASSERT_NE(closeEntered.h, nullptr);
    ASSERT_NE(closeReleased.h, nullptr);
    const std::wstring name = UniquePipeName(L"abandon");
    HANDLE server = CreateServerPipe(name, true);  // the adapter closes it
    ASSERT_NE(server, INVALID_HANDLE_VALUE);
    std::atomic<int> serverCloses{0};

    Win32DeviceIo::NativeCalls calls;
    calls.cancelIoEx = [](HANDLE, LPOVERLAPPED) { return TRUE; };  // accepted, and ignored
    calls.closeHandle = [&](HANDLE h) {
        if (h == server) {
            ++serverCloses;
            ::SetEvent(closeEntered.h);
            ::WaitForSingleObject(closeReleased.h, 30000);
        }
        return ::CloseHandle(h);
    };
    Win32DeviceIo io(200, 200, calls);

    platform::IoctlResult given{};
    NativeHandle stuck(StartThread(
        [&] { given = io.DeviceIoControl(FromNative(server), kPipeListen, nullptr, 0, nullptr, 0); }));
    ASSERT_NE(stuck.h, nullptr);
    ASSERT_EQ(::WaitForSingleObject(closeEntered.h, 10000), WAIT_OBJECT_0);

    const std::wstring otherName = UniquePipeName(L"other");
    NativeHandle otherServer(CreateServerPipe(otherName, false));
    ASSERT_NE(otherServer.h, INVALID_HANDLE_VALUE);
    bool opened = false, closed = false, lastResort = true;
    platform::IoctlResult peek{};
    NativeHandle other(StartThread([&] {
        const Handle client = io.CreateFile(otherName, DeviceOpenMode::Filter).handle;
        opened = client.IsValid();
        std::uint8_t out[32] = {};
        peek = io.DeviceIoControl(FromNative(otherServer.h), kPipePeek, nullptr, 0, out, sizeof out);
        closed = io.CloseHandle(client);
        lastResort = io.CancelIoEx(FromNative(server));
    }));
    ASSERT_NE(other.h, nullptr);
    const DWORD otherWait = ::WaitForSingleObject(other.h, 5000);
    const bool stillHeld = ::WaitForSingleObject(stuck.h, 0) == WAIT_TIMEOUT;
    ::SetEvent(closeReleased.h);
    ASSERT_EQ(::WaitForSingleObject(stuck.h, 35000), WAIT_OBJECT_0);
    ASSERT_EQ(::WaitForSingleObject(other.h, 35000), WAIT_OBJECT_0);

    EXPECT_EQ(otherWait, WAIT_OBJECT_0) << "another thread's request waited for the blocked close";
    EXPECT_TRUE(stillHeld);
    EXPECT_TRUE(opened);
    EXPECT_EQ(peek.status, IoctlStatus::Completed);
    EXPECT_EQ(peek.bytesReturned, kPeekHeaderBytes);
    EXPECT_TRUE(closed);
    EXPECT_FALSE(lastResort);  // nothing is sent on a given-up handle
    EXPECT_EQ(given.status, IoctlStatus::TimedOut);
    EXPECT_EQ(given.error, static_cast<std::uint32_t>(ERROR_TIMEOUT));
    EXPECT_TRUE(given.abandoned);
    EXPECT_EQ(serverCloses.load(), 1);
    EXPECT_TRUE(io.CloseHandle(FromNative(server)));
    EXPECT_EQ(serverCloses.load(), 1);
}

}  // namespace
