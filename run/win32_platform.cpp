#include "win32_platform.h"

#include <windows.h>
#include <commdlg.h>

#include <cstddef>

namespace {

// OPENFILENAME_SIZE_VERSION_400A, the 76-byte form of the record that every version of the
// dialogs accepts. The header's macro is not a constant expression in C++, so it is spelled out.
constexpr DWORD chooser_record_size = offsetof(OPENFILENAMEA, lpTemplateName) + sizeof(LPCSTR);
#if defined(__i386__)
static_assert(chooser_record_size == 76, "the 400A form of OPENFILENAMEA is 76 bytes on i386");
#endif

// Both dialogs write the chosen path here; one byte is kept back so that it always ends in NUL.
char path_buffer[512];

// One record serves both dialogs: only Flags changes between them. No owner window, no initial
// folder, the system's own titles, no default extension and no overwrite question: whether an
// existing name may be used is decided by how the output is created (never over an existing file).
constinit OPENFILENAMEA chooser_record = {
    .lStructSize = chooser_record_size,
    .hwndOwner = nullptr,
    .hInstance = nullptr,
    .lpstrFilter = "All files\0*.*\0",  // pairs of strings; the literal's own NUL ends the list
    .lpstrCustomFilter = nullptr,
    .nMaxCustFilter = 0,
    .nFilterIndex = 0,
    .lpstrFile = path_buffer,
    .nMaxFile = sizeof path_buffer - 1,
    .lpstrFileTitle = nullptr,
    .nMaxFileTitle = 0,
    .lpstrInitialDir = nullptr,
    .lpstrTitle = nullptr,
    .Flags = 0,
    .nFileOffset = 0,
    .nFileExtension = 0,
    .lpstrDefExt = nullptr,
    .lCustData = 0,
    .lpfnHook = nullptr,
    .lpTemplateName = nullptr,
    .pvReserved = nullptr,
    .dwReserved = 0,
    .FlagsEx = 0,
};

// The input while it is open, then the output.
HANDLE current_file = INVALID_HANDLE_VALUE;

// The longest single ReadFile or WriteFile: very large transfers fail on some network shares and
// older systems, and the run's loops already take partial transfers.
constexpr std::uint32_t largest_transfer = 16 * 1024 * 1024;

constexpr DWORD capped(std::uint32_t want) { return want < largest_transfer ? want : largest_transfer; }

// The output carries a delete disposition from just after its creation until it is whole and
// flushed: until then, however the process ends, the system deletes the file as its last handle
// closes (a kill, a logoff, a fault, or a failed run's own close).
bool mark_for_deletion(BOOL delete_on_close) {
    FILE_DISPOSITION_INFO disposition = {.DeleteFile = static_cast<BOOLEAN>(delete_on_close)};
    return SetFileInformationByHandle(current_file, FileDispositionInfo, &disposition, sizeof disposition) != FALSE;
}

// The last word on a fault anywhere in the process, the system's dialogs included: Wine's Open and
// Save As dialogs overrun a stack buffer on a typed path of more than 263 characters. The filter
// may run on any thread, so it reads no state of the run: an unfinished output still carries its
// delete disposition, and ending the process closes its handle. The process ends at once,
// silently, with code 0 (no unloading of DLLs, whose state the fault may have broken).
LONG WINAPI end_after_fault(EXCEPTION_POINTERS*) {
    TerminateProcess(GetCurrentProcess(), 0);
    return EXCEPTION_EXECUTE_HANDLER;
}

using file_dialog = BOOL(WINAPI*)(LPOPENFILENAMEA);

bool choose(file_dialog show, DWORD flags) {
    chooser_record.Flags = flags;
    path_buffer[0] = '\0';
    return show(&chooser_record) != FALSE && path_buffer[0] != '\0';
}

// Read and write access with no sharing: the file is held for this process alone, and one that
// is read-only or open elsewhere is refused.
bool open_file(DWORD access, DWORD disposition) {
    current_file = CreateFileA(path_buffer, GENERIC_READ | GENERIC_WRITE | access, 0, nullptr, disposition,
                               FILE_ATTRIBUTE_NORMAL, nullptr);
    return current_file != INVALID_HANDLE_VALUE;
}

}  // namespace

void win32_platform::end_quietly_on_fault() { SetUnhandledExceptionFilter(end_after_fault); }

bool win32_platform::choose_input() { return choose(GetOpenFileNameA, OFN_EXPLORER); }

bool win32_platform::choose_output() { return choose(GetSaveFileNameA, 0); }

// Only a file on a disk: a device (NUL, CON, a COM port) or a pipe is refused before anything is
// asked of it, since its size means nothing and a read could block.
bool win32_platform::open_input() {
    if (!open_file(0, OPEN_EXISTING)) return false;
    if (GetFileType(current_file) == FILE_TYPE_DISK) return true;
    close_file();
    return false;
}

// CREATE_NEW fails on any existing name, the input's own included. A file whose delete
// disposition cannot be set is given up at once, while still empty: it could not be kept from
// staying behind half-written.
bool win32_platform::create_output() {
    if (!open_file(DELETE, CREATE_NEW)) return false;
    if (mark_for_deletion(TRUE)) return true;
    close_file();
    DeleteFileA(path_buffer);
    return false;
}

// GetFileSize cannot fail on a handle just opened on a file; if it ever did, its all-ones answer
// would be a length the file does not have, and the read that follows would fail.
std::uint64_t win32_platform::input_length() {
    DWORD high = 0;
    const DWORD low = GetFileSize(current_file, &high);
    return static_cast<std::uint64_t>(high) << 32 | low;
}

std::uint8_t* win32_platform::allocate_zeroed(std::uint32_t size) {
    return static_cast<std::uint8_t*>(GlobalAlloc(GMEM_FIXED | GMEM_ZEROINIT, size));
}

bool win32_platform::read_some(std::uint8_t* at, std::uint32_t want, std::uint32_t& got) {
    DWORD done = 0;
    const bool read = ReadFile(current_file, at, capped(want), &done, nullptr) != FALSE;
    got = done;
    return read;
}

bool win32_platform::write_some(const std::uint8_t* from, std::uint32_t want, std::uint32_t& put) {
    DWORD done = 0;
    const bool written = WriteFile(current_file, from, capped(want), &done, nullptr) != FALSE;
    put = done;
    return written;
}

// Flushed first, so that the file keeps its name only once its bytes are on the disk.
bool win32_platform::finish_output() {
    if (FlushFileBuffers(current_file) == FALSE || !mark_for_deletion(FALSE)) return false;
    close_file();
    return true;
}

void win32_platform::close_file() {
    if (current_file != INVALID_HANDLE_VALUE) CloseHandle(current_file);
    current_file = INVALID_HANDLE_VALUE;
}

// The output still carries its delete disposition: closing it deletes it. Nothing is deleted by
// name, since another process may take the name once the file is gone.
void win32_platform::discard_output() { close_file(); }

void win32_platform::release(std::uint8_t* buffer) { GlobalFree(buffer); }
