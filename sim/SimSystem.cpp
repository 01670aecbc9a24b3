// The simulated system services (see SimSystem.h).
#include "sim/SimSystem.h"

#include <algorithm>
#include <cwctype>

namespace sim {
namespace {

using platform::FileDisposition;
using platform::FileOpenResult;
using platform::FileResult;
using platform::Handle;

wchar_t FoldChar(wchar_t c) { return (c >= L'A' && c <= L'Z') ? static_cast<wchar_t>(c - L'A' + L'a') : c; }

std::wstring Fold(const std::wstring& s) {
    std::wstring out(s);
    for (auto& c : out) c = FoldChar(c);
    return out;
}

bool IsRoot(const std::wstring& fullPath) { return fullPath.find(L'\\') == std::wstring::npos; }

FileResult Ok() { return FileResult{true, 0}; }
FileResult Fail(std::uint32_t error) { return FileResult{false, error}; }

// Counts a matching call against a fault; true when the fault hits it.
template <class F>
bool Trigger(F& fault) {
    if (fault.times == 0) return false;
    if (fault.skip > 0) {
        --fault.skip;
        return false;
    }
    if (fault.times > 0) --fault.times;
    ++fault.hits;
    return true;
}

std::vector<std::uint8_t> Utf16Le(const std::wstring& text) {
    std::vector<std::uint8_t> out;
    out.reserve(text.size() * 2);
    for (wchar_t c : text) {
        const auto u = static_cast<std::uint32_t>(c) & 0xFFFFu;
        out.push_back(static_cast<std::uint8_t>(u & 0xFF));
        out.push_back(static_cast<std::uint8_t>(u >> 8));
    }
    return out;
}

}  // namespace

// ===========================================================================
// SimFiles

std::wstring SimFiles::Resolve(const std::wstring& path) const {
    if (path.empty()) return {};
    std::wstring p(path);
    std::replace(p.begin(), p.end(), L'/', L'\\');
    std::wstring base;
    std::wstring rest;
    const bool hasDrive = p.size() >= 2 && p[1] == L':' && std::iswalpha(p[0]);
    const std::wstring cwdDrive = currentDirectory_.substr(0, 2);
    if (hasDrive) {
        const std::wstring drive = p.substr(0, 2);
        rest = p.substr(2);
        if (!rest.empty() && rest[0] == L'\\')
            base = drive;
        else
            base = Fold(drive) == Fold(cwdDrive) ? currentDirectory_ : drive;
    } else if (p[0] == L'\\') {
        base = cwdDrive;
        rest = p;
    } else {
        base = currentDirectory_;
        rest = p;
    }
    std::vector<std::wstring> parts;
    {
        std::size_t start = 0;
        const std::wstring full = base + L"\\" + rest;
        while (start <= full.size()) {
            std::size_t end = full.find(L'\\', start);
            if (end == std::wstring::npos) end = full.size();
            std::wstring part = full.substr(start, end - start);
            start = end + 1;
            if (part.empty() || part == L".") continue;
            if (part == L"..") {
                if (parts.size() > 1) parts.pop_back();
                continue;
            }
            parts.push_back(part);
        }
    }
    std::wstring out;
    for (std::size_t i = 0; i < parts.size(); ++i) {
        if (i) out += L'\\';
        out += parts[i];
    }
    // Junctions on the way are followed; the last name is the name itself.
    for (int hops = 0; hops < 8; ++hops) {
        bool followed = false;
        for (std::size_t end = out.find(L'\\'); end != std::wstring::npos; end = out.find(L'\\', end + 1)) {
            const auto it = nodes_.find(Fold(out.substr(0, end)));
            if (it != nodes_.end() && !it->second.redirectsTo.empty()) {
                out = it->second.redirectsTo + out.substr(end);
                followed = true;
                break;
            }
        }
        if (!followed) break;
    }
    return out;
}

std::wstring SimFiles::Key(const std::wstring& fullPath) { return Fold(fullPath); }

std::wstring SimFiles::Parent(const std::wstring& fullPath) {
    const auto pos = fullPath.rfind(L'\\');
    return pos == std::wstring::npos ? std::wstring() : fullPath.substr(0, pos);
}

bool SimFiles::DirectoryExists(const std::wstring& fullPath) const {
    if (fullPath.empty()) return false;
    if (IsRoot(fullPath)) return true;
    const auto it = nodes_.find(Key(fullPath));
    return it != nodes_.end() && it->second.directory;
}

void SimFiles::MakeDirectoryLocked(const std::wstring& fullPath) {
    if (fullPath.empty() || IsRoot(fullPath)) return;
    MakeDirectoryLocked(Parent(fullPath));
    auto& node = nodes_[Key(fullPath)];
    if (node.path.empty()) {
        node.path = fullPath;
        node.id = ++nextId_;
    }
    node.directory = true;
    node.data.clear();
}

SimFiles::Node SimFiles::NewNode(const std::wstring& fullPath, bool directory) {
    Node node;
    node.path = fullPath;
    node.directory = directory;
    node.id = ++nextId_;
    return node;
}

void SimFiles::RunHooks(FileOp op, const std::wstring& key) {
    if (observer_ && !observing_) {
        // The observer's own calls are not observed.
        observing_ = true;
        observer_(op, key);
        observing_ = false;
    }
    for (auto it = hooks_.begin(); it != hooks_.end();) {
        if (it->op != op || (!it->key.empty() && it->key != key)) {
            ++it;
            continue;
        }
        if (it->skip > 0) {
            --it->skip;
            ++it;
            continue;
        }
        const std::function<void()> action = std::move(it->action);
        hooks_.erase(it);
        action();
        return;
    }
}

bool SimFiles::HandleOpenBelow(const std::wstring& key, bool withoutDeleteSharing) const {
    const std::wstring prefix = key + L"\\";
    for (const auto& [raw, h] : handles_) {
        if (h.key.empty() || (h.key != key && h.key.compare(0, prefix.size(), prefix) != 0)) continue;
        if (!withoutDeleteSharing || !(h.share & platform::kFileShareDelete)) return true;
    }
    return false;
}

std::uint32_t SimFiles::VolumeSerial(const std::wstring& fullPath) const {
    return 0x5A5A0000u + static_cast<std::uint32_t>(fullPath.empty() ? 0 : FoldChar(fullPath[0]));
}

void SimFiles::SetRenameChecksEntryOnly(bool entryOnly) {
    Lock guard(mutex_);
    renameChecksEntryOnly_ = entryOnly;
}

void SimFiles::OnCall(FileOp op, const std::wstring& path, std::function<void()> action, int skip) {
    Lock guard(mutex_);
    Hook hook;
    hook.op = op;
    hook.key = path.empty() ? std::wstring() : Key(Resolve(path));
    hook.skip = skip;
    hook.action = std::move(action);
    hooks_.push_back(std::move(hook));
}

void SimFiles::ObserveCalls(std::function<void(FileOp, const std::wstring&)> observer) {
    Lock guard(mutex_);
    observer_ = std::move(observer);
}

void SimFiles::PutFile(const std::wstring& path, const std::vector<std::uint8_t>& bytes) {
    Lock guard(mutex_);
    const std::wstring full = Resolve(path);
    if (full.empty() || IsRoot(full)) return;
    MakeDirectoryLocked(Parent(full));
    auto& node = nodes_[Key(full)];
    if (node.path.empty()) {
        node.path = full;
        node.id = ++nextId_;
    }
    node.directory = false;
    node.data = bytes;
}

std::optional<std::vector<std::uint8_t>> SimFiles::GetFile(const std::wstring& path) const {
    Lock guard(mutex_);
    const auto it = nodes_.find(Key(Resolve(path)));
    if (it == nodes_.end() || it->second.directory) return std::nullopt;
    return it->second.data;
}

bool SimFiles::Exists(const std::wstring& path) const {
    Lock guard(mutex_);
    const std::wstring full = Resolve(path);
    return DirectoryExists(full) || nodes_.count(Key(full)) != 0;
}

bool SimFiles::IsDirectory(const std::wstring& path) const {
    Lock guard(mutex_);
    return DirectoryExists(Resolve(path));
}

void SimFiles::SetReadOnly(const std::wstring& path, bool readOnly) {
    Lock guard(mutex_);
    const auto it = nodes_.find(Key(Resolve(path)));
    if (it != nodes_.end()) it->second.readOnly = readOnly;
}

bool SimFiles::IsHidden(const std::wstring& path) const {
    Lock guard(mutex_);
    const auto it = nodes_.find(Key(Resolve(path)));
    return it != nodes_.end() && it->second.hidden;
}

void SimFiles::SetTempPath(const std::wstring& path) {
    Lock guard(mutex_);
    tempPath_ = path;
}

void SimFiles::MakeDirectory(const std::wstring& path) {
    Lock guard(mutex_);
    MakeDirectoryLocked(Resolve(path));
}

void SimFiles::SetCurrentDirectory(const std::wstring& path) {
    Lock guard(mutex_);
    const std::wstring full = Resolve(path);
    if (!full.empty()) currentDirectory_ = full;
}

std::wstring SimFiles::CurrentDirectory() const {
    Lock guard(mutex_);
    return IsRoot(currentDirectory_) ? currentDirectory_ + L"\\" : currentDirectory_;
}

std::wstring SimFiles::FullPath(const std::wstring& path) const {
    Lock guard(mutex_);
    const std::wstring full = Resolve(path);
    return (!full.empty() && IsRoot(full)) ? full + L"\\" : full;
}

FileFault& SimFiles::AddFault(const FileFault& fault) {
    Lock guard(mutex_);
    faults_.push_back(fault);
    if (!faults_.back().path.empty()) faults_.back().path = Key(Resolve(fault.path));
    return faults_.back();
}

void SimFiles::ClearFaults() {
    Lock guard(mutex_);
    faults_.clear();
}

int SimFiles::OpenHandleCount() const {
    Lock guard(mutex_);
    return static_cast<int>(handles_.size());
}

int SimFiles::OpenCount() const {
    Lock guard(mutex_);
    return openCount_;
}

FileFault* SimFiles::FindFault(FileOp op, const std::wstring& key) {
    for (auto& f : faults_) {
        if (f.op != op) continue;
        if (!f.path.empty() && f.path != key) continue;
        if (Trigger(f)) return &f;
    }
    return nullptr;
}

SimFiles::OpenFile* SimFiles::FindHandle(Handle file, std::uint32_t* error) {
    const auto it = handles_.find(file.raw);
    if (it == handles_.end()) {
        *error = platform::kErrorInvalidHandle;
        return nullptr;
    }
    if (it->second.key.empty()) {
        *error = platform::kErrorAccessDenied;
        return nullptr;
    }
    return &it->second;
}

bool SimFiles::SharingAllows(const std::wstring& key, std::uint32_t access, std::uint32_t share) const {
    for (const auto& [raw, h] : handles_) {
        if (h.key != key) continue;
        if ((access & platform::kGenericRead) && !(h.share & platform::kFileShareRead)) return false;
        if ((access & platform::kGenericWrite) && !(h.share & platform::kFileShareWrite)) return false;
        if ((h.access & platform::kGenericRead) && !(share & platform::kFileShareRead)) return false;
        if ((h.access & platform::kGenericWrite) && !(share & platform::kFileShareWrite)) return false;
        if ((access & platform::kDeleteAccess) && !(h.share & platform::kFileShareDelete)) return false;
        if ((h.access & platform::kDeleteAccess) && !(share & platform::kFileShareDelete)) return false;
    }
    return true;
}

int SimFiles::Access(const std::wstring& path, int mode) {
    Lock guard(mutex_);
    if (mode != 0 && mode != 2 && mode != 4 && mode != 6) return kSimErrnoInval;
    const std::wstring full = Resolve(path);
    if (full.empty()) return kSimErrnoNoEnt;
    if (DirectoryExists(full)) return 0;
    const auto it = nodes_.find(Key(full));
    if (it == nodes_.end()) return kSimErrnoNoEnt;
    if ((mode & 2) && it->second.readOnly) return kSimErrnoAccess;
    return 0;
}

FileOpenResult SimFiles::CreateFile(const std::wstring& path, std::uint32_t access,
                                    std::uint32_t share, FileDisposition disposition,
                                    std::uint32_t flags) {
    Lock guard(mutex_);
    RunHooks(FileOp::Open, Key(Resolve(path)));
    FileOpenResult r;
    const std::wstring full = Resolve(path);
    if (full.empty()) {
        r.error = platform::kErrorPathNotFound;
        return r;
    }
    const std::wstring key = Key(full);
    if (auto* f = FindFault(FileOp::Open, key)) {
        r.error = f->error;
        return r;
    }
    if (DirectoryExists(full)) {
        r.error = platform::kErrorAccessDenied;
        return r;
    }
    if (!DirectoryExists(Parent(full))) {
        r.error = platform::kErrorPathNotFound;
        return r;
    }
    const bool write = (access & platform::kGenericWrite) != 0;
    auto it = nodes_.find(key);
    const bool exists = it != nodes_.end();
    bool truncate = false;
    switch (disposition) {
        case FileDisposition::CreateNew:
            if (exists) {
                r.error = platform::kErrorFileExists;
                return r;
            }
            break;
        case FileDisposition::CreateAlways:
            truncate = exists;
            break;
        case FileDisposition::OpenExisting:
            if (!exists) {
                r.error = platform::kErrorFileNotFound;
                return r;
            }
            break;
        case FileDisposition::OpenAlways:
            break;
        case FileDisposition::TruncateExisting:
            if (!exists) {
                r.error = platform::kErrorFileNotFound;
                return r;
            }
            if (!write) {
                r.error = platform::kErrorInvalidParameter;
                return r;
            }
            truncate = true;
            break;
        default:
            r.error = platform::kErrorInvalidParameter;
            return r;
    }
    if (exists && it->second.readOnly && (write || truncate)) {
        r.error = platform::kErrorAccessDenied;
        return r;
    }
    if (!SharingAllows(key, access, share) ||
        (truncate && !SharingAllows(key, platform::kGenericWrite, share))) {
        r.error = platform::kErrorSharingViolation;
        return r;
    }
    if (!exists) {
        it = nodes_.emplace(key, NewNode(full, false)).first;
    } else if (truncate) {
        it->second.data.clear();
    }
    const std::uintptr_t raw = nextHandle_;
    nextHandle_ += 4;
    handles_[raw] = OpenFile{key, access, share, 0, it->second.id};
    ++openCount_;
    r.handle = Handle{raw};
    // As GetLastError after a successful open of an existing file.
    const bool reportsExisting =
        disposition == FileDisposition::CreateAlways || disposition == FileDisposition::OpenAlways;
    r.error = (exists && reportsExisting) ? platform::kErrorAlreadyExists : 0;
    return r;
}

FileResult SimFiles::ReadFile(Handle file, std::uint8_t* buffer, std::uint32_t count,
                              std::uint32_t* done) {
    Lock guard(mutex_);
    if (done) *done = 0;
    std::uint32_t error = 0;
    OpenFile* h = FindHandle(file, &error);
    if (h == nullptr) return Fail(error);
    if (!(h->access & platform::kGenericRead)) return Fail(platform::kErrorAccessDenied);
    if (count > 0 && buffer == nullptr) return Fail(platform::kErrorInvalidParameter);
    std::uint32_t want = count;
    if (auto* f = FindFault(FileOp::Read, h->key)) {
        if (!f->shortRead) return Fail(f->error);
        want = std::min(want, f->shortBytes);
    }
    const auto& data = nodes_.at(h->key).data;
    std::uint32_t n = 0;
    if (h->position < data.size())
        n = static_cast<std::uint32_t>(std::min<std::uint64_t>(want, data.size() - h->position));
    if (n) std::copy_n(data.begin() + static_cast<std::ptrdiff_t>(h->position), n, buffer);
    h->position += n;
    if (done) *done = n;
    return Ok();
}

FileResult SimFiles::WriteFile(Handle file, const std::uint8_t* buffer, std::uint32_t count,
                               std::uint32_t* done) {
    Lock guard(mutex_);
    if (done) *done = 0;
    std::uint32_t error = 0;
    OpenFile* h = FindHandle(file, &error);
    if (h == nullptr) return Fail(error);
    if (!(h->access & platform::kGenericWrite)) return Fail(platform::kErrorAccessDenied);
    if (count > 0 && buffer == nullptr) return Fail(platform::kErrorInvalidParameter);
    if (auto* f = FindFault(FileOp::Write, h->key)) {
        if (!f->shortWrite) return Fail(f->error);
        count = std::min(count, f->shortBytes);
    }
    auto& data = nodes_.at(h->key).data;
    const std::uint64_t end = h->position + count;
    if (data.size() < end) data.resize(static_cast<std::size_t>(end), 0);
    std::copy_n(buffer, count, data.begin() + static_cast<std::ptrdiff_t>(h->position));
    h->position = end;
    if (done) *done = count;
    return Ok();
}

FileResult SimFiles::Seek(Handle file, std::uint64_t offset) {
    Lock guard(mutex_);
    std::uint32_t error = 0;
    OpenFile* h = FindHandle(file, &error);
    if (h == nullptr) return Fail(error);
    h->position = offset;
    return Ok();
}

FileResult SimFiles::GetFileSize(Handle file, std::uint64_t* size) {
    Lock guard(mutex_);
    std::uint32_t error = 0;
    OpenFile* h = FindHandle(file, &error);
    if (h == nullptr) return Fail(error);
    if (size) *size = nodes_.at(h->key).data.size();
    return Ok();
}

FileResult SimFiles::SetEndOfFile(Handle file) {
    Lock guard(mutex_);
    std::uint32_t error = 0;
    OpenFile* h = FindHandle(file, &error);
    if (h == nullptr) return Fail(error);
    if (!(h->access & platform::kGenericWrite)) return Fail(platform::kErrorAccessDenied);
    nodes_.at(h->key).data.resize(static_cast<std::size_t>(h->position), 0);
    return Ok();
}

FileResult SimFiles::FlushFileBuffers(Handle file) {
    Lock guard(mutex_);
    std::uint32_t error = 0;
    OpenFile* h = FindHandle(file, &error);
    if (h == nullptr) return Fail(error);
    if (!(h->access & platform::kGenericWrite)) return Fail(platform::kErrorAccessDenied);
    return Ok();
}

bool SimFiles::CloseHandle(Handle file) {
    Lock guard(mutex_);
    const auto it = handles_.find(file.raw);
    if (it != handles_.end() && !it->second.key.empty()) RunHooks(FileOp::Close, it->second.key);
    return handles_.erase(file.raw) != 0;
}

FileResult SimFiles::CreateDirectory(const std::wstring& path) {
    Lock guard(mutex_);
    const std::wstring full = Resolve(path);
    if (full.empty()) return Fail(platform::kErrorPathNotFound);
    const std::wstring key = Key(full);
    if (auto* f = FindFault(FileOp::CreateDirectory, key)) return Fail(f->error);
    if (IsRoot(full) || nodes_.count(key)) return Fail(platform::kErrorAlreadyExists);
    if (!DirectoryExists(Parent(full))) return Fail(platform::kErrorPathNotFound);
    nodes_.emplace(key, NewNode(full, true));
    return Ok();
}

FileResult SimFiles::DeleteFile(const std::wstring& path) {
    Lock guard(mutex_);
    RunHooks(FileOp::Delete, Key(Resolve(path)));
    const std::wstring full = Resolve(path);
    if (full.empty()) return Fail(platform::kErrorPathNotFound);
    const std::wstring key = Key(full);
    if (auto* f = FindFault(FileOp::Delete, key)) return Fail(f->error);
    if (DirectoryExists(full)) return Fail(platform::kErrorAccessDenied);
    if (!DirectoryExists(Parent(full))) return Fail(platform::kErrorPathNotFound);
    const auto it = nodes_.find(key);
    if (it == nodes_.end()) return Fail(platform::kErrorFileNotFound);
    if (it->second.readOnly) return Fail(platform::kErrorAccessDenied);
    for (const auto& [raw, h] : handles_)
        if (h.key == key && !(h.share & platform::kFileShareDelete))
            return Fail(platform::kErrorSharingViolation);
    // Handles that allowed the deletion stay open but no longer reach the
    // file: every call but CloseHandle fails on them.
    for (auto& [raw, h] : handles_)
        if (h.key == key) h.key.clear();
    nodes_.erase(it);
    return Ok();
}

FileResult SimFiles::RemoveDirectory(const std::wstring& path) {
    Lock guard(mutex_);
    RunHooks(FileOp::RemoveDirectory, Key(Resolve(path)));
    const std::wstring full = Resolve(path);
    if (full.empty()) return Fail(platform::kErrorPathNotFound);
    const std::wstring key = Key(full);
    if (auto* f = FindFault(FileOp::RemoveDirectory, key)) return Fail(f->error);
    if (IsRoot(full)) return Fail(platform::kErrorAccessDenied);
    const auto it = nodes_.find(key);
    if (it == nodes_.end()) {
        return Fail(DirectoryExists(Parent(full)) ? platform::kErrorFileNotFound
                                                  : platform::kErrorPathNotFound);
    }
    if (!it->second.directory) return Fail(platform::kErrorDirectory);
    // Opened with delete access first, as the system does.
    for (const auto& [raw, h] : handles_)
        if (h.key == key && !(h.share & platform::kFileShareDelete)) return Fail(platform::kErrorSharingViolation);
    if (const std::uint32_t busy = FolderBusy(key)) return Fail(busy);
    return Unlink(it);
}

FileResult SimFiles::FindFirstFile(const std::wstring& path) {
    Lock guard(mutex_);
    if (path.find_first_of(L"*?") != std::wstring::npos) return Fail(platform::kErrorInvalidName);
    const std::wstring full = Resolve(path);
    if (full.empty() || IsRoot(full)) return Fail(platform::kErrorFileNotFound);
    if (nodes_.count(Key(full))) return Ok();
    return Fail(DirectoryExists(Parent(full)) ? platform::kErrorFileNotFound
                                              : platform::kErrorPathNotFound);
}

FileResult SimFiles::GetFileAttributes(const std::wstring& path, std::uint32_t* attributes) {
    Lock guard(mutex_);
    if (attributes) *attributes = 0;
    const std::wstring full = Resolve(path);
    if (full.empty()) return Fail(platform::kErrorPathNotFound);
    std::uint32_t value = 0;
    if (DirectoryExists(full)) {
        value = platform::kFileAttributeDirectory;
    } else {
        const auto it = nodes_.find(Key(full));
        if (it == nodes_.end()) {
            return Fail(DirectoryExists(Parent(full)) ? platform::kErrorFileNotFound
                                                      : platform::kErrorPathNotFound);
        }
        if (it->second.readOnly) value |= platform::kFileAttributeReadOnly;
        if (it->second.hidden) value |= platform::kFileAttributeHidden;
        if (value == 0) value = platform::kFileAttributeNormal;
    }
    if (attributes) *attributes = value;
    return Ok();
}

FileResult SimFiles::SetFileAttributes(const std::wstring& path, std::uint32_t attributes) {
    Lock guard(mutex_);
    const std::wstring full = Resolve(path);
    if (full.empty()) return Fail(platform::kErrorPathNotFound);
    const std::wstring key = Key(full);
    if (auto* f = FindFault(FileOp::SetAttributes, key)) return Fail(f->error);
    const auto it = nodes_.find(key);
    if (it == nodes_.end()) {
        if (IsRoot(full)) return Ok();
        return Fail(DirectoryExists(Parent(full)) ? platform::kErrorFileNotFound
                                                  : platform::kErrorPathNotFound);
    }
    it->second.readOnly = (attributes & platform::kFileAttributeReadOnly) != 0;
    it->second.hidden = (attributes & platform::kFileAttributeHidden) != 0;
    return Ok();
}

std::wstring SimFiles::GetTempPath() {
    Lock guard(mutex_);
    return tempPath_;
}

void SimFiles::MakeRedirection(const std::wstring& path, const std::wstring& target) {
    Lock guard(mutex_);
    const std::wstring full = Resolve(path);
    const std::wstring to = Resolve(target);
    if (full.empty() || IsRoot(full) || to.empty()) return;
    MakeDirectoryLocked(Parent(full));
    Node node = NewNode(full, true);
    node.foreignOwner = true;
    node.redirectsTo = to;
    nodes_[Key(full)] = node;
}

void SimFiles::SetForeignOwner(const std::wstring& path, bool foreign) {
    Lock guard(mutex_);
    const auto it = nodes_.find(Key(Resolve(path)));
    if (it != nodes_.end()) it->second.foreignOwner = foreign;
}

bool SimFiles::IsPrivate(const std::wstring& path) const {
    Lock guard(mutex_);
    const auto it = nodes_.find(Key(Resolve(path)));
    return it != nodes_.end() && it->second.privateAccess;
}

FileResult SimFiles::InspectPath(const std::wstring& path, platform::PathFacts* facts) {
    Lock guard(mutex_);
    platform::PathFacts out;
    if (facts) *facts = out;
    const std::wstring full = Resolve(path);
    if (full.empty()) return Fail(platform::kErrorPathNotFound);
    if (IsRoot(full)) {
        out.exists = out.directory = out.trustedOwner = true;
    } else {
        const auto it = nodes_.find(Key(full));
        if (it != nodes_.end()) {
            out.exists = true;
            out.directory = it->second.directory;
            out.redirection = !it->second.redirectsTo.empty();
            out.trustedOwner = !it->second.foreignOwner;
        }
    }
    if (facts) *facts = out;
    return Ok();
}

platform::FileOpenResult SimFiles::CreateHeldFolder(const std::wstring& path) {
    Lock guard(mutex_);
    RunHooks(FileOp::CreateDirectory, Key(Resolve(path)));
    FileOpenResult r;
    const std::wstring full = Resolve(path);
    if (full.empty()) {
        r.error = platform::kErrorPathNotFound;
        return r;
    }
    const std::wstring key = Key(full);
    if (auto* f = FindFault(FileOp::CreateDirectory, key)) {
        r.error = f->error;
        return r;
    }
    if (IsRoot(full) || nodes_.count(key)) {
        r.error = platform::kErrorAlreadyExists;
        return r;
    }
    if (!DirectoryExists(Parent(full))) {
        r.error = platform::kErrorPathNotFound;
        return r;
    }
    // Made and held at once: nobody comes between the two.
    Node node = NewNode(full, true);
    node.privateAccess = true;
    const std::uint64_t id = node.id;
    nodes_.emplace(key, std::move(node));
    const std::uintptr_t raw = nextHandle_;
    nextHandle_ += 4;
    handles_[raw] = OpenFile{key, platform::kGenericRead, platform::kFileShareRead | platform::kFileShareWrite, 0, id};
    r.handle = Handle{raw};
    return r;
}

platform::FileOpenResult SimFiles::HoldFolder(const std::wstring& path, platform::PathFacts* facts) {
    Lock guard(mutex_);
    RunHooks(FileOp::Hold, Key(Resolve(path)));
    FileOpenResult r;
    if (facts) *facts = platform::PathFacts{};
    const std::wstring full = Resolve(path);
    if (full.empty() || IsRoot(full)) {
        r.error = full.empty() ? platform::kErrorPathNotFound : platform::kErrorAccessDenied;
        return r;
    }
    const std::wstring key = Key(full);
    if (auto* f = FindFault(FileOp::Hold, key)) {
        r.error = f->error;
        return r;
    }
    const auto it = nodes_.find(key);
    if (it == nodes_.end()) {
        r.error = DirectoryExists(Parent(full)) ? platform::kErrorFileNotFound : platform::kErrorPathNotFound;
        return r;
    }
    const std::uint32_t access = platform::kGenericRead;
    const std::uint32_t share = platform::kFileShareRead | platform::kFileShareWrite;
    if (!SharingAllows(key, access, share)) {
        r.error = platform::kErrorSharingViolation;
        return r;
    }
    const std::uintptr_t raw = nextHandle_;
    nextHandle_ += 4;
    handles_[raw] = OpenFile{key, access, share, 0, it->second.id};
    r.handle = Handle{raw};
    if (facts) {
        facts->exists = true;
        facts->directory = it->second.directory;
        facts->redirection = !it->second.redirectsTo.empty();
        facts->trustedOwner = !it->second.foreignOwner;
    }
    return r;
}

FileResult SimFiles::GetFileIdentity(Handle handle, platform::FileIdentity* identity) {
    Lock guard(mutex_);
    std::uint32_t error = 0;
    OpenFile* h = FindHandle(handle, &error);
    if (h == nullptr) return Fail(error);
    if (identity) *identity = platform::FileIdentity{VolumeSerial(nodes_.at(h->key).path), h->id};
    return Ok();
}

FileResult SimFiles::GetPathIdentity(const std::wstring& path, platform::FileIdentity* identity) {
    Lock guard(mutex_);
    RunHooks(FileOp::Open, Key(Resolve(path)));
    std::wstring full = Resolve(path);
    if (full.empty()) return Fail(platform::kErrorPathNotFound);
    // The name is followed, as an open without FILE_FLAG_OPEN_REPARSE_POINT does.
    for (int hops = 0; hops < 8; ++hops) {
        const auto it = nodes_.find(Key(full));
        if (it == nodes_.end() || it->second.redirectsTo.empty()) break;
        full = it->second.redirectsTo;
    }
    if (auto* f = FindFault(FileOp::Open, Key(full))) return Fail(f->error);
    const auto it = nodes_.find(Key(full));
    if (it == nodes_.end())
        return Fail(DirectoryExists(Parent(full)) ? platform::kErrorFileNotFound : platform::kErrorPathNotFound);
    if (identity) *identity = platform::FileIdentity{VolumeSerial(full), it->second.id};
    return Ok();
}

FileResult SimFiles::RenameEntry(const std::wstring& path, const std::wstring& newName) {
    Lock guard(mutex_);
    RunHooks(FileOp::Rename, Key(Resolve(path)));
    if (newName.empty() || newName.find_first_of(L"\\/:") != std::wstring::npos || newName == L"." ||
        newName == L"..")
        return Fail(platform::kErrorInvalidParameter);
    const std::wstring full = Resolve(path);
    if (full.empty() || IsRoot(full)) return Fail(platform::kErrorAccessDenied);
    const std::wstring key = Key(full);
    if (auto* f = FindFault(FileOp::Rename, key)) return Fail(f->error);
    const auto it = nodes_.find(key);
    if (it == nodes_.end())
        return Fail(DirectoryExists(Parent(full)) ? platform::kErrorFileNotFound : platform::kErrorPathNotFound);
    const std::wstring to = Parent(full) + L"\\" + newName;
    const std::wstring toKey = Key(to);
    if (toKey == key) return Ok();
    if (nodes_.count(toKey)) return Fail(platform::kErrorAlreadyExists);
    // The name itself, a junction included, is opened with delete access.
    if (renameChecksEntryOnly_) {
        for (const auto& [raw, h] : handles_)
            if (h.key == key && !(h.share & platform::kFileShareDelete)) return Fail(platform::kErrorSharingViolation);
    } else if (HandleOpenBelow(key, true)) {
        return Fail(platform::kErrorSharingViolation);
    }
    const std::wstring prefix = key + L"\\";
    std::vector<std::pair<std::wstring, Node>> moved;
    for (auto n = nodes_.begin(); n != nodes_.end();) {
        if (n->first == key || n->first.compare(0, prefix.size(), prefix) == 0) {
            Node node = n->second;
            node.path = to + node.path.substr(full.size());
            moved.emplace_back(toKey + n->first.substr(key.size()), std::move(node));
            n = nodes_.erase(n);
        } else {
            ++n;
        }
    }
    for (auto& [k, node] : moved) nodes_.emplace(k, std::move(node));
    for (auto& [raw, h] : handles_)
        if (!h.key.empty() && (h.key == key || h.key.compare(0, prefix.size(), prefix) == 0))
            h.key = toKey + h.key.substr(key.size());
    return Ok();
}

FileResult SimFiles::DeleteEntry(const std::wstring& path, const platform::FileIdentity& expected) {
    Lock guard(mutex_);
    RunHooks(FileOp::DeleteEntry, Key(Resolve(path)));
    const std::wstring full = Resolve(path);
    if (full.empty() || IsRoot(full)) return Fail(platform::kErrorAccessDenied);
    const std::wstring key = Key(full);
    if (auto* f = FindFault(FileOp::DeleteEntry, key)) return Fail(f->error);
    const auto it = nodes_.find(key);
    if (it == nodes_.end())
        return Fail(DirectoryExists(Parent(full)) ? platform::kErrorFileNotFound : platform::kErrorPathNotFound);
    for (const auto& [raw, h] : handles_)
        if (h.key == key && !(h.share & platform::kFileShareDelete)) return Fail(platform::kErrorSharingViolation);
    if (platform::FileIdentity{VolumeSerial(full), it->second.id} != expected)
        return Fail(platform::kErrorFileInvalid);
    if (it->second.readOnly) return Fail(platform::kErrorAccessDenied);
    if (it->second.directory && it->second.redirectsTo.empty()) {
        if (const std::uint32_t busy = FolderBusy(key)) return Fail(busy);
    }
    return Unlink(it);
}

std::uint32_t SimFiles::FolderBusy(const std::wstring& key) const {
    const std::wstring prefix = key + L"\\";
    for (const auto& [k, node] : nodes_)
        if (k.compare(0, prefix.size(), prefix) == 0) return platform::kErrorDirNotEmpty;
    if (Fold(currentDirectory_) == key) return platform::kErrorSharingViolation;
    return 0;
}

FileResult SimFiles::Unlink(std::map<std::wstring, Node>::iterator it) {
    for (auto& [raw, h] : handles_)
        if (h.key == it->first) h.key.clear();
    nodes_.erase(it);
    return Ok();
}

FileResult SimFiles::ListDirectory(const std::wstring& path, std::vector<platform::DirectoryEntry>* entries) {
    Lock guard(mutex_);
    if (entries) entries->clear();
    const std::wstring full = Resolve(path);
    if (full.empty()) return Fail(platform::kErrorPathNotFound);
    const auto self = nodes_.find(Key(full));
    if (!IsRoot(full) && self == nodes_.end()) return Fail(platform::kErrorPathNotFound);
    if (!IsRoot(full) && (!self->second.directory || !self->second.redirectsTo.empty()))
        return Fail(platform::kErrorDirectory);
    const std::wstring prefix = Key(full) + L"\\";
    for (const auto& [k, node] : nodes_) {
        if (k.compare(0, prefix.size(), prefix) != 0 || k.find(L'\\', prefix.size()) != std::wstring::npos) continue;
        platform::DirectoryEntry entry;
        entry.name = node.path.substr(node.path.rfind(L'\\') + 1);
        entry.directory = node.directory;
        entry.redirection = !node.redirectsTo.empty();
        if (entries) entries->push_back(entry);
    }
    return Ok();
}

// ===========================================================================
// SimRegistry

std::optional<std::wstring> SimRegistry::KeyId(const std::wstring& key) {
    std::wstring k = Fold(key);
    if (!k.empty() && k.back() == L'\\') k.pop_back();
    if (k.empty() || k.front() == L'\\' || k.find(L"\\\\") != std::wstring::npos) return std::nullopt;
    return k;
}

SimRegistry::Key& SimRegistry::KeyFor(const std::wstring& key) {
    const auto id = KeyId(key);
    return keys_[id ? *id : Fold(key)];
}

void SimRegistry::AddKey(const std::wstring& key) {
    std::lock_guard<std::mutex> guard(mutex_);
    KeyFor(key);
}

void SimRegistry::DeleteKey(const std::wstring& key) {
    std::lock_guard<std::mutex> guard(mutex_);
    if (const auto id = KeyId(key)) keys_.erase(*id);
}

bool SimRegistry::HasKey(const std::wstring& key) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto id = KeyId(key);
    return id && keys_.count(*id) != 0;
}

void SimRegistry::SetRaw(const std::wstring& key, const std::wstring& name, std::uint32_t type,
                         const std::vector<std::uint8_t>& data) {
    std::lock_guard<std::mutex> guard(mutex_);
    KeyFor(key).values[Fold(name)] = RegValue{name, type, data};
}

void SimRegistry::SetDword(const std::wstring& key, const std::wstring& name, std::uint32_t value) {
    SetRaw(key, name, platform::kRegDword,
           {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
            static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)});
}

void SimRegistry::SetString(const std::wstring& key, const std::wstring& name,
                            const std::wstring& text) {
    SetRaw(key, name, platform::kRegSz, Utf16Le(text + std::wstring(1, L'\0')));
}

void SimRegistry::SetMultiString(const std::wstring& key, const std::wstring& name,
                                 const std::vector<std::wstring>& texts) {
    std::wstring all;
    for (const auto& t : texts) {
        all += t;
        all += L'\0';
    }
    all += L'\0';
    SetRaw(key, name, platform::kRegMultiSz, Utf16Le(all));
}

void SimRegistry::DeleteValue(const std::wstring& key, const std::wstring& name) {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto id = KeyId(key);
    if (!id) return;
    const auto it = keys_.find(*id);
    if (it != keys_.end()) it->second.values.erase(Fold(name));
}

std::optional<RegValue> SimRegistry::GetValue(const std::wstring& key, const std::wstring& name) const {
    std::lock_guard<std::mutex> guard(mutex_);
    const auto id = KeyId(key);
    if (!id) return std::nullopt;
    const auto it = keys_.find(*id);
    if (it == keys_.end()) return std::nullopt;
    const auto vi = it->second.values.find(Fold(name));
    if (vi == it->second.values.end()) return std::nullopt;
    return vi->second;
}

std::optional<std::uint32_t> SimRegistry::GetDword(const std::wstring& key,
                                                   const std::wstring& name) const {
    const auto v = GetValue(key, name);
    if (!v || v->type != platform::kRegDword || v->data.size() != 4) return std::nullopt;
    return static_cast<std::uint32_t>(v->data[0]) | (static_cast<std::uint32_t>(v->data[1]) << 8) |
           (static_cast<std::uint32_t>(v->data[2]) << 16) | (static_cast<std::uint32_t>(v->data[3]) << 24);
}

RegFault& SimRegistry::AddFault(const RegFault& fault) {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.push_back(fault);
    auto& f = faults_.back();
    if (!f.key.empty()) f.key = KeyId(f.key).value_or(Fold(f.key));
    f.name = Fold(f.name);
    return f;
}

void SimRegistry::ClearFaults() {
    std::lock_guard<std::mutex> guard(mutex_);
    faults_.clear();
}

RegFault* SimRegistry::FindFault(RegOp op, const std::wstring& keyId, const std::wstring& nameId) {
    for (auto& f : faults_) {
        if (f.op != op) continue;
        if (!f.key.empty() && f.key != keyId) continue;
        if (!f.name.empty() && f.name != nameId) continue;
        if (Trigger(f)) return &f;
    }
    return nullptr;
}

std::vector<RegRead> SimRegistry::Reads() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return reads_;
}

std::vector<RegWrite> SimRegistry::Writes() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return writes_;
}

void SimRegistry::ClearJournal() {
    std::lock_guard<std::mutex> guard(mutex_);
    reads_.clear();
    writes_.clear();
}

platform::RegistryReadResult SimRegistry::ReadValue(const std::wstring& subKey,
                                                    const std::wstring& name,
                                                    std::uint32_t maxBytes) {
    std::lock_guard<std::mutex> guard(mutex_);
    reads_.push_back(RegRead{subKey, name, maxBytes});
    platform::RegistryReadResult r;
    const auto id = KeyId(subKey);
    const std::wstring keyId = id.value_or(Fold(subKey));
    const std::wstring nameId = Fold(name);
    if (auto* f = FindFault(RegOp::Open, keyId, nameId)) {
        r.openStatus = f->status;
        return r;
    }
    const auto it = id ? keys_.find(*id) : keys_.end();
    if (it == keys_.end()) {
        r.openStatus = platform::kErrorFileNotFound;
        return r;
    }
    if (auto* f = FindFault(RegOp::Query, keyId, nameId)) {
        r.queryStatus = f->status;
        return r;
    }
    const auto vi = it->second.values.find(nameId);
    if (vi == it->second.values.end()) {
        r.queryStatus = platform::kErrorFileNotFound;
        return r;
    }
    r.type = vi->second.type;
    if (vi->second.data.size() > maxBytes) {
        r.queryStatus = platform::kErrorMoreData;
        return r;
    }
    r.data = vi->second.data;
    return r;
}

platform::RegistryWriteResult SimRegistry::WriteDword(const std::wstring& subKey,
                                                      const std::wstring& name,
                                                      std::uint32_t value) {
    std::lock_guard<std::mutex> guard(mutex_);
    platform::RegistryWriteResult r;
    RegWrite w{subKey, name, value, false};
    const auto id = KeyId(subKey);
    const std::wstring keyId = id.value_or(Fold(subKey));
    const std::wstring nameId = Fold(name);
    if (auto* f = FindFault(RegOp::Open, keyId, nameId)) {
        r.openStatus = f->status;
    } else if (!id || keys_.count(*id) == 0) {
        r.openStatus = platform::kErrorFileNotFound;
    } else if (auto* sf = FindFault(RegOp::Set, keyId, nameId)) {
        r.setStatus = sf->status;
    } else {
        keys_[*id].values[nameId] =
            RegValue{name, platform::kRegDword,
                     {static_cast<std::uint8_t>(value), static_cast<std::uint8_t>(value >> 8),
                      static_cast<std::uint8_t>(value >> 16), static_cast<std::uint8_t>(value >> 24)}};
        w.ok = true;
    }
    writes_.push_back(w);
    return r;
}

// ===========================================================================
// SimProcesses

void SimProcesses::SetProcesses(const std::vector<SimProcess>& processes) {
    std::lock_guard<std::mutex> guard(mutex_);
    processes_ = processes;
}

void SimProcesses::AddProcess(std::uint32_t pid, const std::wstring& firstModule) {
    std::lock_guard<std::mutex> guard(mutex_);
    processes_.push_back(SimProcess{pid, firstModule});
}

void SimProcesses::AddUnreadableProcess(std::uint32_t pid) {
    std::lock_guard<std::mutex> guard(mutex_);
    processes_.push_back(SimProcess{pid, std::nullopt});
}

void SimProcesses::SetCurrentProcessId(std::uint32_t pid) {
    std::lock_guard<std::mutex> guard(mutex_);
    currentPid_ = pid;
}

void SimProcesses::SetListStatus(platform::ProcessListStatus status, std::uint32_t error) {
    std::lock_guard<std::mutex> guard(mutex_);
    status_ = status;
    statusError_ = error;
}

void SimProcesses::FailOpen(std::uint32_t pid, std::uint32_t error) {
    std::lock_guard<std::mutex> guard(mutex_);
    openFailures_[pid] = error;
}

void SimProcesses::FailTerminate(std::uint32_t pid, std::uint32_t error) {
    std::lock_guard<std::mutex> guard(mutex_);
    terminateFailures_[pid] = error;
}

std::vector<TerminateCall> SimProcesses::Terminations() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return terminations_;
}

bool SimProcesses::IsRunning(std::uint32_t pid) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return std::any_of(processes_.begin(), processes_.end(),
                       [&](const SimProcess& p) { return p.pid == pid; });
}

platform::ProcessListResult SimProcesses::EnumProcesses() {
    std::lock_guard<std::mutex> guard(mutex_);
    platform::ProcessListResult r;
    r.status = status_;
    r.error = statusError_;
    if (status_ != platform::ProcessListStatus::Ok) return r;
    for (const auto& p : processes_) {
        if (r.ids.size() == 1024) break;
        r.ids.push_back(p.pid);
    }
    return r;
}

bool SimProcesses::FirstModuleBaseName(std::uint32_t processId, std::wstring* name) {
    std::lock_guard<std::mutex> guard(mutex_);
    for (const auto& p : processes_) {
        if (p.pid != processId) continue;
        if (!p.firstModule) return false;
        if (name) *name = *p.firstModule;
        return true;
    }
    return false;
}

platform::TerminateResult SimProcesses::TerminateProcess(std::uint32_t processId,
                                                         std::uint32_t exitCode) {
    std::lock_guard<std::mutex> guard(mutex_);
    platform::TerminateResult r;
    const auto it = std::find_if(processes_.begin(), processes_.end(),
                                 [&](const SimProcess& p) { return p.pid == processId; });
    if (it == processes_.end()) {
        r.error = platform::kErrorInvalidParameter;
    } else if (const auto f = openFailures_.find(processId); f != openFailures_.end()) {
        r.error = f->second;
    } else if (const auto t = terminateFailures_.find(processId); t != terminateFailures_.end()) {
        r.opened = true;
        r.error = t->second;
    } else {
        r.opened = true;
        r.terminated = true;
        processes_.erase(it);
    }
    terminations_.push_back(TerminateCall{processId, exitCode, r});
    return r;
}

std::uint32_t SimProcesses::CurrentProcessId() {
    std::lock_guard<std::mutex> guard(mutex_);
    return currentPid_;
}

// ===========================================================================
// SimOsInfo

SimOsInfo::SimOsInfo(platform::Threads* threads, SimFiles* files) : threads_(threads), files_(files) {}

std::uint32_t SimOsInfo::ThreadId() { return threads_ ? threads_->CurrentThreadId() : 0; }

void SimOsInfo::SetVersion(std::uint32_t major, std::uint32_t minor, std::uint32_t platformId) {
    std::lock_guard<std::mutex> guard(mutex_);
    version_ = platform::OsVersion{true, platformId, major, minor};
}

void SimOsInfo::SetVersionFails() {
    std::lock_guard<std::mutex> guard(mutex_);
    version_ = platform::OsVersion{false, 0, 0, 0};
}

void SimOsInfo::SetWow64(bool isWow64) {
    std::lock_guard<std::mutex> guard(mutex_);
    wow64_ = platform::Wow64Query{true, true, isWow64, 0};
}

void SimOsInfo::SetWow64FunctionMissing() {
    std::lock_guard<std::mutex> guard(mutex_);
    wow64_ = platform::Wow64Query{false, false, false, 127};
}

void SimOsInfo::SetWow64CallFails(std::uint32_t error) {
    std::lock_guard<std::mutex> guard(mutex_);
    wow64_ = platform::Wow64Query{true, false, false, error};
}

void SimOsInfo::SetDisableResult(const platform::FsRedirectionResult& result) {
    std::lock_guard<std::mutex> guard(mutex_);
    disableResult_ = result;
}

void SimOsInfo::SetRevertResult(const platform::FsRedirectionResult& result) {
    std::lock_guard<std::mutex> guard(mutex_);
    revertResult_ = result;
}

void SimOsInfo::SetModuleFileName(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    moduleFileName_ = path;
}

void SimOsInfo::FailSetCurrentDirectory(bool fail) {
    std::lock_guard<std::mutex> guard(mutex_);
    failSetCurrentDirectory_ = fail;
}

void SimOsInfo::SetFileVersion(const std::wstring& path, std::uint16_t a, std::uint16_t b,
                               std::uint16_t c, std::uint16_t d) {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::wstring key = Fold(files_ ? files_->FullPath(path) : path);
    versions_[key] = platform::FileVersionResult{true, (std::uint32_t{a} << 16) | b,
                                                 (std::uint32_t{c} << 16) | d};
}

void SimOsInfo::SetWindowsDirectory(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    windowsDirectory_ = path;
}

std::vector<RedirectionCall> SimOsInfo::RedirectionCalls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return redirectionCalls_;
}

bool SimOsInfo::RedirectionDisabled(std::uint32_t threadId) const {
    std::lock_guard<std::mutex> guard(mutex_);
    return redirectionOff_.count(threadId) != 0;
}

std::wstring SimOsInfo::CurrentDirectory() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return currentDirectory_;
}

int SimOsInfo::SetCurrentDirectoryCalls() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return setCurrentDirectoryCalls_;
}

int SimOsInfo::Wow64Queries() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return wow64Queries_;
}

platform::OsVersion SimOsInfo::GetVersionEx() {
    std::lock_guard<std::mutex> guard(mutex_);
    return version_;
}

platform::Wow64Query SimOsInfo::IsWow64Process() {
    std::lock_guard<std::mutex> guard(mutex_);
    ++wow64Queries_;
    return wow64_;
}

platform::FsRedirectionResult SimOsInfo::DisableWow64FsRedirection() {
    const std::uint32_t tid = ThreadId();
    std::lock_guard<std::mutex> guard(mutex_);
    redirectionCalls_.push_back(RedirectionCall{true, tid, disableResult_});
    if (disableResult_.ok) redirectionOff_.insert(tid);
    return disableResult_;
}

platform::FsRedirectionResult SimOsInfo::RevertWow64FsRedirection() {
    const std::uint32_t tid = ThreadId();
    std::lock_guard<std::mutex> guard(mutex_);
    redirectionCalls_.push_back(RedirectionCall{false, tid, revertResult_});
    if (revertResult_.ok) redirectionOff_.erase(tid);
    return revertResult_;
}

std::wstring SimOsInfo::GetModuleFileName() {
    std::lock_guard<std::mutex> guard(mutex_);
    return moduleFileName_;
}

bool SimOsInfo::SetCurrentDirectory(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    ++setCurrentDirectoryCalls_;
    if (failSetCurrentDirectory_ || path.empty()) return false;
    if (files_) {
        if (!files_->IsDirectory(path)) return false;
        files_->SetCurrentDirectory(path);
    }
    currentDirectory_ = path;
    return true;
}

platform::FileVersionResult SimOsInfo::GetFileVersion(const std::wstring& path) {
    std::lock_guard<std::mutex> guard(mutex_);
    const std::wstring key = Fold(files_ ? files_->FullPath(path) : path);
    const auto it = versions_.find(key);
    return it == versions_.end() ? platform::FileVersionResult{} : it->second;
}

std::wstring SimOsInfo::GetWindowsDirectory() {
    std::lock_guard<std::mutex> guard(mutex_);
    return windowsDirectory_;
}

std::wstring SimOsInfo::GetSystemDirectory() {
    std::lock_guard<std::mutex> guard(mutex_);
    return windowsDirectory_ + L"\\system32";
}

// ===========================================================================
// SimUi

void SimUi::SetAnswer(int answer) {
    std::lock_guard<std::mutex> guard(mutex_);
    answer_ = answer;
}

std::vector<MessageBoxCall> SimUi::Messages() const {
    std::lock_guard<std::mutex> guard(mutex_);
    return messages_;
}

void SimUi::Clear() {
    std::lock_guard<std::mutex> guard(mutex_);
    messages_.clear();
}

int SimUi::MessageBox(const std::wstring& text, const std::wstring& caption, std::uint32_t type) {
    std::lock_guard<std::mutex> guard(mutex_);
    messages_.push_back(MessageBoxCall{text, caption, type});
    return answer_;
}

}  // namespace sim
