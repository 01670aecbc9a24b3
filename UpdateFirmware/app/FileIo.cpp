#include "app/FileIo.h"

#include "platform/Files.h"

namespace app {

namespace {
constexpr std::uint32_t kErrorHandleEof = 38;    // ERROR_HANDLE_EOF
}  // namespace

FileReadStatus ReadWholeFile(platform::Files& files, const std::wstring& path, std::uint64_t limit,
                             std::vector<hubaccess::BYTE>* pOut, std::uint32_t* pError) {
    pOut->clear();
    *pError = 0;
    const platform::FileOpenResult open = files.CreateFile(path, platform::kGenericRead, platform::kFileShareRead,
                                                           platform::FileDisposition::OpenExisting, 0);
    if (!open.handle.IsValid()) {
        *pError = open.error;
        return FileReadStatus::Failed;
    }
    std::uint64_t size = 0;
    FileReadStatus status = FileReadStatus::Ok;
    platform::FileResult r = files.GetFileSize(open.handle, &size);
    if (!r.ok) {
        *pError = r.error;
        status = FileReadStatus::Failed;
    } else if (size > limit) {
        status = FileReadStatus::TooLarge;
    } else {
        pOut->assign(static_cast<std::size_t>(size), 0);
        std::size_t total = 0;
        while (total < pOut->size()) {
            std::uint32_t got = 0;
            r = files.ReadFile(open.handle, pOut->data() + total, static_cast<std::uint32_t>(pOut->size() - total),
                               &got);
            if (!r.ok || got == 0) {
                *pError = r.ok ? kErrorHandleEof : r.error;
                status = FileReadStatus::Failed;
                break;
            }
            total += got;
        }
        if (status != FileReadStatus::Ok) pOut->clear();
    }
    files.CloseHandle(open.handle);
    return status;
}

bool WriteWholeFile(platform::Files& files, const std::wstring& path, const std::vector<hubaccess::BYTE>& bytes,
                    std::uint32_t* pError) {
    *pError = 0;
    const platform::FileOpenResult open =
        files.CreateFile(path, platform::kGenericRead | platform::kGenericWrite,
                         platform::kFileShareWrite | platform::kFileShareDelete, platform::FileDisposition::OpenAlways,
                         platform::kFileFlagWriteThrough);
    if (!open.handle.IsValid()) {
        *pError = open.error;
        return false;
    }
    platform::FileResult r = files.Seek(open.handle, 0);
    if (r.ok) r = platform::WriteAllAndFlush(files, open.handle, bytes);
    files.CloseHandle(open.handle);
    if (!r.ok) {
        *pError = r.error;
        files.DeleteFile(path);
        return false;
    }
    return true;
}

}  // namespace app
