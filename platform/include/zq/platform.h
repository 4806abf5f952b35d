// The operating-system boundary of the provider.
//
// One interface, one implementation per system, chosen by the build:
// platform/posix (termios, text hives under a prefix), platform/win32 (the
// real Win32 calls) and platform/memory (fake port, manual clock, in-memory
// registry and files, used by the component tests). Protocol code includes
// only this header; it never sees windows.h or termios.h.
//
// Results are Win32 error numbers on every system, so traces and decisions
// are the same everywhere. Paths may use '\' or '/'.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace zq::plat {

// Win32 error numbers.
inline constexpr uint32_t kErrSuccess = 0;
inline constexpr uint32_t kErrFileNotFound = 2;
inline constexpr uint32_t kErrPathNotFound = 3;
inline constexpr uint32_t kErrAccessDenied = 5;
inline constexpr uint32_t kErrInvalidHandle = 6;
inline constexpr uint32_t kErrNotEnoughMemory = 8;
inline constexpr uint32_t kErrWriteFault = 29;
inline constexpr uint32_t kErrReadFault = 30;
inline constexpr uint32_t kErrGenFailure = 31;
inline constexpr uint32_t kErrSharingViolation = 32;
inline constexpr uint32_t kErrNotSupported = 50;
inline constexpr uint32_t kErrFileExists = 80;
inline constexpr uint32_t kErrInvalidParameter = 87;
inline constexpr uint32_t kErrModNotFound = 126;
inline constexpr uint32_t kErrBadPathname = 161;
inline constexpr uint32_t kErrAlreadyExists = 183;
inline constexpr uint32_t kErrMoreData = 234;
inline constexpr uint32_t kErrNoMoreItems = 259;
inline constexpr uint32_t kErrIoPending = 997;
inline constexpr uint32_t kErrIrqBusy = 1119;
inline constexpr uint32_t kErrCanNotComplete = 1003;

// Wait results, with the Win32 values.
enum class Wait : uint32_t {
    Object0 = 0x00000000,
    Abandoned = 0x00000080,
    Timeout = 0x00000102,
    Failed = 0xFFFFFFFF,
};

inline constexpr uint32_t kInfinite = 0xFFFFFFFF;

// ---------------------------------------------------------------- serial port

struct SerialPort;  // backend-defined; nullptr is "no port"

struct CommStatus {
    uint32_t errors = 0;     // ClearCommError's error bits
    uint32_t in_queue = 0;   // bytes received and not yet read
    uint32_t out_queue = 0;  // bytes written and not yet sent
};

enum class AbortOnError { Keep, Set };

struct SerialSettings {
    uint32_t baud = 9600;
    AbortOnError abort_on_error = AbortOnError::Keep;
};

// Opens "COM1".."COM9" (optionally written "\\.\COMn") for reading and
// writing, exclusive, overlapped. ERROR_FILE_NOT_FOUND for a name that is not
// a COM port or a port that does not exist, ERROR_ACCESS_DENIED when held.
uint32_t serial_open(std::string_view name, SerialPort** port);

// Reads the line settings, sets: baud, binary, CTS output flow control on,
// parity check, DSR flow/sensitivity, continue-TX-on-XOFF, XON/XOFF in/out,
// error char and null stripping off, DTR and RTS control disabled, 8 data
// bits, no parity, two stop bits, all special characters 0; abort-on-error
// kept or set. Writes them back. An error means they could not be read or
// written.
uint32_t serial_configure(SerialPort* port, const SerialSettings& settings);

// Read interval MAXDWORD, every other time-out 0: a read returns at once with
// what has arrived.
uint32_t serial_set_timeouts(SerialPort* port);

// EscapeCommFunction SETRTS / CLRRTS, then the settings are read back.
// Devices that cannot drive RTS (a pseudo-terminal) report ERROR_NOT_SUPPORTED.
uint32_t serial_set_rts(SerialPort* port, bool raised);

// ClearCommError: clears the error state and reports the queue sizes.
uint32_t serial_clear_error(SerialPort* port, CommStatus* status);

// FlushFileBuffers: waits until written bytes have left.
uint32_t serial_flush(SerialPort* port);

// Reads what has arrived, at most dest.size() bytes; never waits.
uint32_t serial_read(SerialPort* port, std::span<uint8_t> dest, uint32_t* got);

// Writes all bytes; ERROR_IO_PENDING means accepted and still going out.
uint32_t serial_write(SerialPort* port, std::span<const uint8_t> bytes);

void serial_close(SerialPort* port);

// ------------------------------------------------------------------ registry

struct RegKey;  // backend-defined

enum class RegRoot { LocalMachine, CurrentUser };

inline constexpr uint32_t kRegNone = 0;
inline constexpr uint32_t kRegSz = 1;
inline constexpr uint32_t kRegDword = 4;

// A predefined root key; never closed.
RegKey* reg_root(RegRoot root);

// RegOpenKeyEx: subkey may hold several levels separated by '\'.
uint32_t reg_open_key(RegKey* parent, std::string_view subkey, RegKey** out);

// RegCreateKeyEx: opens the key, creating every missing level.
uint32_t reg_create_key(RegKey* parent, std::string_view subkey, RegKey** out);

void reg_close_key(RegKey* key);

// RegQueryValueEx: copies the value (a REG_SZ with its terminating NUL) when
// it fits in dest; *size gets the value's size in bytes. ERROR_MORE_DATA when
// dest is too small (nothing copied), ERROR_FILE_NOT_FOUND when missing.
uint32_t reg_query_value(RegKey* key, std::string_view name, uint32_t* type, std::span<uint8_t> dest,
                         uint32_t* size);

// RegSetValueEx with REG_SZ (the text and a NUL) or REG_DWORD.
uint32_t reg_set_string(RegKey* key, std::string_view name, std::string_view text);
uint32_t reg_set_dword(RegKey* key, std::string_view name, uint32_t value);

uint32_t reg_delete_value(RegKey* key, std::string_view name);

// RegEnumValue: value number index. name gets the NUL-terminated name,
// *name_len its length without NUL; data and *data_len as reg_query_value.
// ERROR_NO_MORE_ITEMS past the last; ERROR_MORE_DATA when a buffer is short.
uint32_t reg_enum_value(RegKey* key, uint32_t index, std::span<char> name, uint32_t* name_len, uint32_t* type,
                        std::span<uint8_t> data, uint32_t* data_len);

// RegEnumKeyEx: subkey number index, NUL-terminated.
uint32_t reg_enum_key(RegKey* key, uint32_t index, std::span<char> name, uint32_t* name_len);

// RegDeleteKey: a key without subkeys.
uint32_t reg_delete_key(RegKey* parent, std::string_view subkey);

// Closes a key when it goes out of scope.
struct RegKeyHolder {
    RegKey* key = nullptr;
    RegKeyHolder() = default;
    RegKeyHolder(const RegKeyHolder&) = delete;
    RegKeyHolder& operator=(const RegKeyHolder&) = delete;
    ~RegKeyHolder() {
        if (key != nullptr)
            reg_close_key(key);
    }
};

// A longer value is no value of ours.
inline constexpr uint32_t kRegValueMax = 64 * 1024;

// A whole value of any size up to kRegValueMax, its type in *type; empty
// when missing, larger or unreadable.
inline std::optional<std::vector<uint8_t>> reg_read_value(RegKey* key, std::string_view name,
                                                          uint32_t* type) {
    std::vector<uint8_t> data(256);
    uint32_t size = 0;
    uint32_t err = reg_query_value(key, name, type, data, &size);
    if (err == kErrMoreData && size <= kRegValueMax) {
        data.resize(size);
        err = reg_query_value(key, name, type, data, &size);
    }
    if (err != kErrSuccess || size > data.size())
        return std::nullopt;
    data.resize(size);
    return data;
}

// A REG_DWORD's number.
inline std::optional<uint32_t> reg_dword_of(uint32_t type, std::span<const uint8_t> data) {
    if (type != kRegDword || data.size() != 4)
        return std::nullopt;
    return uint32_t{data[0]} | uint32_t{data[1]} << 8 | uint32_t{data[2]} << 16 | uint32_t{data[3]} << 24;
}
// A REG_SZ's text, up to its NUL.
inline std::string reg_text_of(std::span<const uint8_t> data) {
    std::string text;
    for (size_t i = 0; i < data.size() && data[i] != 0; ++i)
        text.push_back(static_cast<char>(data[i]));
    return text;
}

// ------------------------------------------------------ private-profile files

// WritePrivateProfileString with a bare file name: the file is in the
// Windows directory. false on failure.
bool profile_write_string(std::string_view file, std::string_view section, std::string_view key,
                          std::string_view value);

// WritePrivateProfileString(section, NULL, NULL, file).
bool profile_delete_section(std::string_view file, std::string_view section);

// GetPrivateProfileString into dest (NUL-terminated, cut to fit); returns the
// number of characters copied. The default is used when the key is missing.
uint32_t profile_read_string(std::string_view file, std::string_view section, std::string_view key,
                             std::string_view dflt, std::span<char> dest);

// GetPrivateProfileSection: every key=value of the section, in the file's
// order; empty when the file or the section is missing.
std::vector<std::pair<std::string, std::string>> profile_read_section(std::string_view file,
                                                                      std::string_view section);

// --------------------------------------------------------------------- files

// The Windows directory and the system directory, without trailing separator.
std::string windows_directory();
std::string system_directory();

struct File;

uint32_t file_create_directory(std::string_view path);  // success when it exists
uint32_t file_delete(std::string_view path);
uint32_t file_rename(std::string_view from, std::string_view to);  // fails if `to` exists

// Opens for writing; truncated or appended to. nullptr on failure.
File* file_open_write(std::string_view path, bool truncate);
bool file_write(File* file, std::string_view bytes);
void file_flush(File* file);
void file_close(File* file);

// The size of a file in bytes. ERROR_FILE_NOT_FOUND when it does not exist.
uint32_t file_size(std::string_view path, uint64_t* size);

// Opens the file (shared for reading and writing), reads up to dest.size()
// bytes from offset and closes it. *got is short at the end of the file and 0
// at or past it.
uint32_t file_read_at(std::string_view path, uint64_t offset, std::span<uint8_t> dest, size_t* got);

// Writes bytes at offset of an existing file and ends the file right after
// them. The bytes are written before the file is shortened, so a failure on
// the way leaves old bytes behind the new ones, never a gap or a lost tail.
// ERROR_INVALID_PARAMETER when offset lies past the end.
uint32_t file_write_tail(std::string_view path, uint64_t offset, std::string_view bytes);

// --------------------------------------------------- threads and synchronisation

struct Thread;
struct Event;
struct Mutex;

using ThreadProc = uint32_t (*)(void* arg);

// Starts at once with the default stack.
uint32_t thread_create(ThreadProc proc, void* arg, Thread** out, uint32_t* thread_id);
Wait thread_wait(Thread* thread, uint32_t timeout_ms);
// Forgets the handle; a thread still running goes on by itself.
void thread_close(Thread* thread);
uint32_t current_thread_id();

// Auto-reset, created non-signalled.
uint32_t event_create(std::string_view name, Event** out);
void event_set(Event* event);
Wait event_wait(Event* event, uint32_t timeout_ms);
void event_close(Event* event);

// A recursive mutex with Windows named-mutex semantics: the same name in one
// process is the same mutex; a mutex whose owner thread ended is abandoned and
// the next wait gets Wait::Abandoned with ownership.
uint32_t mutex_create(std::string_view name, bool initially_owned, Mutex** out);
Wait mutex_wait(Mutex* mutex, uint32_t timeout_ms);
uint32_t mutex_release(Mutex* mutex);  // error when the caller does not own it
void mutex_close(Mutex* mutex);

// ------------------------------------------------------------------ modules

struct Module;  // backend-defined

// A function of a module, to be cast to its real type by the caller.
using ModuleProc = void (*)();

// LoadLibraryW / dlopen: path is UTF-8. ERROR_MOD_NOT_FOUND when the file
// cannot be loaded; the in-memory backend loads nothing (ERROR_NOT_SUPPORTED).
uint32_t module_load(std::string_view path, Module** out);

// A private copy of the file, loaded: a second instance with globals of its
// own even when the file is loaded already, as if in another process. The
// copy goes when the module is freed. Errors as module_load.
uint32_t module_load_copy(std::string_view path, Module** out);

// GetProcAddress / dlsym; nullptr when the module does not export name.
ModuleProc module_symbol(Module* module, std::string_view name);

// FreeLibrary / dlclose. nullptr is ignored.
void module_free(Module* module);

// The UTF-8 path of the file `name` (a bare file name) in the folder of the
// module that holds the address in_module, or of the program for nullptr;
// empty when the folder cannot be had or no such file is there. The
// in-memory backend has no modules and answers empty.
std::string file_beside_module(const void* in_module, std::string_view name);

// ---------------------------------------------------------- time and the tick

// timeGetTime: milliseconds, wrapping at 2^32.
uint32_t time_ms();

struct LocalTime {
    int year = 0, month = 0, day = 0, hour = 0, minute = 0, second = 0;
};
LocalTime local_time();

using TimerProc = void (*)();

// A timer of the calling thread: proc runs from message_dispatch_next() on
// this thread every period. Returns its id, 0 on failure.
uint32_t timer_start(uint32_t period_ms, TimerProc proc);
void timer_kill(uint32_t id);

// Waits for the next message of the calling thread and dispatches it (a timer
// message runs the timer's procedure). Returns false when the thread's
// message queue is closed (WM_QUIT).
bool message_dispatch_next();

// ------------------------------------------------------------- the user

inline constexpr int kIdOk = 1;
inline constexpr int kIdHelp = 9;
inline constexpr uint32_t kMbOk = 0x00000000;
inline constexpr uint32_t kMbIconHand = 0x00000010;
inline constexpr uint32_t kMbSystemModal = 0x00001000;
inline constexpr uint32_t kMbTaskModal = 0x00002000;
inline constexpr uint32_t kMbDefaultDesktopOnly = 0x00020000;

// A modal message box without owner. POSIX writes it to standard error and
// to windows/messages.log and answers IDOK.
int message_box(std::string_view text, std::string_view caption, uint32_t flags);
void message_beep(uint32_t type);

// GetActiveWindow; an opaque value, null when none.
void* active_window();

// Shows the local HTML page at path (UTF-8) at its anchor (letters, digits,
// '-', '_' and '.'; empty: the top) in the program that opens web pages or,
// where none is set up, hands the page to the shell at its top. Returns at
// once without waiting for either; false when nothing could be started.
// POSIX and the in-memory backend start nothing (false): a terminal view
// prints the page's path itself.
bool open_help_page(std::string_view path, std::string_view anchor);

}  // namespace zq::plat
