#include "tasks/staged_import.h"

#include <algorithm>
#include <span>
#include <vector>

#include "base/file_io.h"
#include "base/final_path.h"
#include "base/sddl_security.h"
#include "base/windows_error.h"
#include "tasks/task_account.h"

namespace qsh {
namespace {

// Who may do what to the staged copy: administrators and SYSTEM everything, the user only
// read it. The user's programs can reach the folder, so this keeps them from writing the copy
// while the helper reopens it; the administrators' group owns it, so that the user cannot
// grant itself more.
class ImportSecurity {
  public:
    ImportSecurity() {
        const std::optional<std::wstring> userSid = ownAccountSid(error_);
        if (userSid) {
            security_.emplace(L"O:BAD:P(A;;FA;;;BA)(A;;FA;;;SY)(A;;FR;;;" + *userSid + L")");
            error_ = security_->error();
        }
    }
    SECURITY_ATTRIBUTES* get() { return security_ ? security_->get() : nullptr; }
    DWORD error() const { return error_; }

  private:
    std::optional<SddlSecurity> security_;
    DWORD error_ = ERROR_SUCCESS;
};

StagedImportHook stagedImportHook = nullptr;

void announce(ImportMoment moment, const std::wstring& path) {
    if (stagedImportHook != nullptr) {
        stagedImportHook(moment, path);
    }
}

bool readFileId(HANDLE file, FileId& id, DWORD& error) {
    BY_HANDLE_FILE_INFORMATION information{};
    if (!GetFileInformationByHandle(file, &information)) {
        error = GetLastError();
        return false;
    }
    id = {information.dwVolumeSerialNumber, information.nFileIndexHigh, information.nFileIndexLow};
    return true;
}

// From the writing handle to one that only reads and lets others only read (as schtasks.exe
// may ask), with no moment in which the file is not held open against change, rename and
// delete: a bridge that reads and shares reading and writing is opened beside the writer, the
// writer closed, and the hold opened beside the bridge. Each reopens the same file, not a name.
UniqueHandle narrowToReadHold(UniqueHandle writer, const std::wstring& path, DWORD& error) {
    UniqueHandle bridge(
        ReOpenFile(writer.get(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, 0));
    if (!bridge) {
        error = GetLastError();
        return {};
    }
    writer.reset();
    announce(ImportMoment::Narrowing, path);
    UniqueHandle hold(ReOpenFile(bridge.get(), GENERIC_READ, FILE_SHARE_READ, 0));
    if (!hold) {
        error = GetLastError();
    }
    return hold;
}

// True when the file holds exactly `parts`: nothing wrote to it while the bridge let others
// write (its security forbids that on Windows; a volume without security does not).
bool holdsExactly(HANDLE file, Parts parts, DWORD& error) {
    std::vector<std::uint8_t> piece(kIoPieceBytes);
    for (std::span<const std::uint8_t> part : parts) {
        while (!part.empty()) {
            const std::size_t wanted = std::min(part.size(), piece.size());
            std::size_t got = 0;
            if (!readFully(file, std::span(piece).first(wanted), got, error)) {
                return false;
            }
            if (got != wanted ||
                !std::ranges::equal(std::span(piece).first(got), part.first(got))) {
                return false;
            }
            part = part.subspan(got);
        }
    }
    std::size_t got = 0;
    return readFully(file, std::span(piece).first(1), got, error) && got == 0;
}

// The held folder as another program is to find it: by its final path, on a local volume.
bool handedFolder(HANDLE folder, std::wstring& folderFinal, std::wstring& error) {
    DWORD code = ERROR_SUCCESS;
    if (!finalPathOfHandle(folder, folderFinal, code)) {
        error = formatWindowsError(code);
        return false;
    }
    // A server answers every open anew; what it gave the check need not be what it gives
    // schtasks.exe.
    if (folderFinal.starts_with(L"\\\\") || isRemoteVolume(folder, code)) {
        error = L"The import folder " + folderFinal +
                L" is on a network volume, whose server could hand schtasks.exe other bytes "
                L"than the helper checked.";
        return false;
    }
    return true;
}

// Creates the file inside the held folder, which must still be no link once the file is in it:
// only an empty folder can be turned into a mount point.
UniqueHandle createImportFile(HANDLE folder, const std::wstring& name, std::wstring& error) {
    ImportSecurity security;
    if (security.get() == nullptr) {
        error = formatWindowsError(security.error());
        return {};
    }
    DWORD code = ERROR_SUCCESS;
    UniqueHandle writer = openInFolder(folder, name, GENERIC_WRITE | FILE_READ_ATTRIBUTES,
                                       FILE_SHARE_READ, OpenMode::CreateNew, code, security.get());
    if (!writer) {
        error = formatWindowsError(code);
        return {};
    }
    if (isReparsePoint(folder, code)) {
        error = code == kErrorReparsePoint
                    ? L"The import folder became a link or mount point while it was held."
                    : formatWindowsError(code);
        return {};
    }
    return writer;
}

} // namespace

std::optional<StagedImport> stageImport(const std::filesystem::path& base,
                                        const std::filesystem::path& folder,
                                        const std::wstring& name, Parts parts,
                                        std::wstring& error) {
    StagedImport staged;
    std::wstring folderFinal;
    staged.folder = openOwnFolder(base, folder, error);
    if (!staged.folder || !handedFolder(staged.folder.get(), folderFinal, error)) {
        return std::nullopt;
    }
    staged.handedPath = pathForOtherProcess(folderFinal, name);
    UniqueHandle writer = createImportFile(staged.folder.get(), name, error);
    if (!writer || !writeOpenFile(writer.get(), parts, error)) {
        return std::nullopt;
    }
    DWORD code = ERROR_SUCCESS;
    if (!readFileId(writer.get(), staged.id, code) ||
        !(staged.hold = narrowToReadHold(std::move(writer), staged.handedPath, code))) {
        error = formatWindowsError(code);
        return std::nullopt;
    }
    code = ERROR_SUCCESS;
    if (!holdsExactly(staged.hold.get(), parts, code)) {
        error = code != ERROR_SUCCESS ? formatWindowsError(code)
                                      : L"The staged copy was changed before it was imported.";
        return std::nullopt;
    }
    return staged;
}

void setStagedImportHook(StagedImportHook hook) {
    stagedImportHook = hook;
}

bool deleteStagedImport(StagedImport& staged, const std::wstring& name, std::wstring& error) {
    // An open with DELETE access needs every other open to share deletion, the hold's too.
    staged.hold.reset();
    announce(ImportMoment::Deleting, staged.handedPath);
    DWORD code = ERROR_SUCCESS;
    const UniqueHandle file = openInFolder(staged.folder.get(), name, DELETE | FILE_READ_ATTRIBUTES,
                                           FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE,
                                           OpenMode::Existing, code);
    FileId id;
    if (!file || !readFileId(file.get(), id, code)) {
        error = formatWindowsError(code);
        return false;
    }
    if (id != staged.id) {
        error = L"Another file has taken the staged copy's place.";
        return false;
    }
    if (!deleteThroughHandle(file.get(), code)) {
        error = formatWindowsError(code);
        return false;
    }
    return true;
}

} // namespace qsh
