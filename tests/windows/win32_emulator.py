"""An emulated Win32 for the i386 Windows programs, on Unicorn (Debian's python3-unicorn).

The shipped executable is mapped as the loader would map it (section by section, relocated when it
is loaded away from its preferred base) and every import is a stub: a 16-byte slot holding
`ret 4*n` with a hook that runs the Python function of that import and sets EAX, which is stdcall.
The process runs from its entry point until ExitProcess or TerminateProcess. Files are the host's:
a dialog answers with a host path and CreateFileA opens it. Every call is recorded with its
arguments and result; the contract of every call is checked as it is made, and each deviation is
recorded naming the call and the field. When the process ends (or is killed from outside), what it
still holds is closed as the system would close it.

Conditions let a case take paths that no real system takes on demand: a call that fails, a read or
write that moves fewer bytes than asked, a file size the file does not have, a fault raised inside
a call, a kill at a given call.

A new import is one entry: a method decorated with @stub naming its arguments.
"""
import dataclasses
import errno
import os
import stat
import struct

import pefile
import unicorn
from unicorn import x86_const as x86

STACK_TOP = 0x00300000
STACK_SIZE = 0x00100000
HEAP_BASE = 0x40000000
HEAP_END = 0x7D000000
SYSTEM_DATA = 0x7E000000   # records the system hands to the process (exception pointers)
SLOTS = 0x7F000000         # one 16-byte slot per import, then the system's return addresses
SLOT_SIZE = 16
PAGE = 0x1000

INVALID_HANDLE_VALUE = 0xFFFFFFFF
CURRENT_PROCESS = 0xFFFFFFFF
GENERIC_READ = 0x80000000
GENERIC_WRITE = 0x40000000
DELETE = 0x00010000
CREATE_NEW = 1
OPEN_EXISTING = 3
FILE_ATTRIBUTE_NORMAL = 0x80
FILE_TYPE_DISK = 1
FILE_TYPE_CHAR = 2
FILE_TYPE_PIPE = 3
FILE_DISPOSITION_INFO_CLASS = 4   # FileDispositionInfo; the record is one BOOLEAN
LARGEST_TRANSFER = 16 * 1024 * 1024
OFN_EXPLORER = 0x00080000
GMEM_MOVEABLE = 0x0002
STATUS_ACCESS_VIOLATION = 0xC0000005
FNERR_BUFFERTOOSMALL = 0x3003
CDERR_DIALOGFAILURE = 0xFFFF

ERROR_INVALID_FUNCTION = 1
ERROR_FILE_NOT_FOUND = 2
ERROR_ACCESS_DENIED = 5
ERROR_INVALID_HANDLE = 6
ERROR_NOT_ENOUGH_MEMORY = 8
ERROR_WRITE_FAULT = 29
ERROR_READ_FAULT = 30
ERROR_SHARING_VIOLATION = 32
ERROR_INVALID_PARAMETER = 87
ERROR_FILE_EXISTS = 80
ERROR_FILENAME_EXCED_RANGE = 206
MAX_PATH = 260

# OPENFILENAMEA as the i386 compiler lays it out, in its 76-byte (400A) form.
OPENFILENAME_FIELDS = (
    ("lStructSize", "I"), ("hwndOwner", "I"), ("hInstance", "I"), ("lpstrFilter", "I"),
    ("lpstrCustomFilter", "I"), ("nMaxCustFilter", "I"), ("nFilterIndex", "I"), ("lpstrFile", "I"),
    ("nMaxFile", "I"), ("lpstrFileTitle", "I"), ("nMaxFileTitle", "I"), ("lpstrInitialDir", "I"),
    ("lpstrTitle", "I"), ("Flags", "I"), ("nFileOffset", "H"), ("nFileExtension", "H"),
    ("lpstrDefExt", "I"), ("lCustData", "I"), ("lpfnHook", "I"), ("lpTemplateName", "I"))
OPENFILENAME_FORMAT = "<" + "".join(kind for _, kind in OPENFILENAME_FIELDS)
OPENFILENAME_SIZE = struct.calcsize(OPENFILENAME_FORMAT)

# The programs' contract with the dialogs: the record's fields each time either dialog is shown.
DIALOG_RECORD = {
    "lStructSize": OPENFILENAME_SIZE, "hwndOwner": 0, "hInstance": 0, "lpstrCustomFilter": 0,
    "nMaxCustFilter": 0, "nFilterIndex": 0, "nMaxFile": 511, "lpstrFileTitle": 0, "nMaxFileTitle": 0,
    "lpstrInitialDir": 0, "lpstrTitle": 0, "lpstrDefExt": 0, "lCustData": 0, "lpfnHook": 0,
    "lpTemplateName": 0,
}
DIALOG_FLAGS = {"GetOpenFileNameA": OFN_EXPLORER, "GetSaveFileNameA": 0}
DIALOG_FILTER = b"All files\0*.*\0\0"
PATH_BUFFER_SIZE = 512

# The programs' contract with CreateFileA, for the file chosen in the open dialog (input) and in
# the save dialog (output).
CREATE_FILE = {
    "input": {"dwDesiredAccess": GENERIC_READ | GENERIC_WRITE, "dwShareMode": 0, "lpSecurityAttributes": 0,
              "dwCreationDisposition": OPEN_EXISTING, "hTemplateFile": 0},
    "output": {"dwDesiredAccess": GENERIC_READ | GENERIC_WRITE | DELETE, "dwShareMode": 0,
               "lpSecurityAttributes": 0, "dwCreationDisposition": CREATE_NEW, "hTemplateFile": 0},
}

# DOS device names, which CreateFileA opens as devices wherever they stand.
DEVICES = {"NUL": os.devnull, "\\\\.\\NUL": os.devnull}

CANCEL = "cancel"   # a dialog answer: the user cancels
FAIL = "fail"       # a dialog answer: the dialog cannot be shown


@dataclasses.dataclass
class Conditions:
    """What the emulated system does. Call numbers count from 1, per import."""
    dialogs: list = dataclasses.field(default_factory=list)  # host paths, CANCEL or FAIL, in turn
    size_high: int = 0             # added to the upper 32 bits GetFileSize reports
    size_extra: int = 0            # added to the size GetFileSize reports (the file ends early)
    alloc_fails: bool = False
    read_fails_at: int = 0         # that ReadFile call fails, moving nothing
    read_piece: int = 0            # at most this many bytes per ReadFile (0: as asked)
    create_new_fails: bool = False
    disposition_fails: bool = False  # SetFileInformationByHandle fails (a file system without it)
    write_piece: int = 0           # at most this many bytes per WriteFile (0: as asked)
    write_fails_after: int = -1    # WriteFile fails once this many bytes are in the file
    write_fails_at: int = 0        # that WriteFile call fails after writing half its bytes, which
                                   # it reports; the calls after it succeed
    flush_fails: bool = False
    fault_in_write_at: int = 0     # that WriteFile call raises an access violation after writing
    kill_at: tuple = ()            # (import name, call number): the process is killed there
    held_paths: tuple = ()         # files another process holds without sharing
    base: int = 0                  # where to load the image (0: its preferred base)
    count_instructions: bool = False  # counts instructions and records the code blocks run


class Crash(Exception):
    pass


@dataclasses.dataclass
class Call:
    name: str
    arguments: dict
    result: int = None
    instructions: int = 0

    def __str__(self):
        shown = ", ".join(f"{key}={value!r}" if isinstance(value, (str, bytes)) else f"{key}={value:#x}"
                          for key, value in self.arguments.items())
        result = "" if self.result is None else f" = {self.result:#x}"
        return f"{self.name}({shown}){result}"


@dataclasses.dataclass
class OpenFile:
    """A file handle of the process. delete_on_close: the file goes when its last handle closes,
    or when the process ends holding it."""
    path: str
    descriptor: int
    role: str
    delete_on_close: bool = False
    access: int = 0
    flushed: bool = True          # no write since the last FlushFileBuffers


STUBS = {}


def stub(*argument_names):
    def register(function):
        STUBS[function.__name__] = (function, argument_names)
        return function
    return register


class Process:
    def __init__(self, executable, conditions):
        self.conditions = conditions
        self.calls = []
        self.violations = []
        self.exit_code = None
        self.killed = False
        self.crash = None
        self.left_open = []
        self.handles = {}
        self.next_handle = 0x100
        self.allocations = {}
        self.heap_next = HEAP_BASE
        self.dialog_answers = list(conditions.dialogs)
        self.dialogs_shown = []
        self.role = None
        self.path_buffer = None
        self.exception_filter = 0
        self.counts = {}
        self.instructions = 0
        self.block_sizes = {}   # (address, size) of every code block run: its instruction count
        self.bytes_written = {}
        self.last_error = 0
        self.dialog_error = 0

        self.uc = unicorn.Uc(unicorn.UC_ARCH_X86, unicorn.UC_MODE_32)
        self._load(executable)
        self.uc.mem_map(STACK_TOP - STACK_SIZE, STACK_SIZE, unicorn.UC_PROT_READ | unicorn.UC_PROT_WRITE)
        self.uc.mem_map(SYSTEM_DATA, 0x10000, unicorn.UC_PROT_READ | unicorn.UC_PROT_WRITE)
        self.uc.hook_add(unicorn.UC_HOOK_CODE, self._on_slot, begin=SLOTS, end=SLOTS + 0xFFFF)
        if conditions.count_instructions:
            import capstone
            self.disassembler = capstone.Cs(capstone.CS_ARCH_X86, capstone.CS_MODE_32)
            self.uc.hook_add(unicorn.UC_HOOK_BLOCK, self._on_block)

    # Loading

    def _load(self, executable):
        pe = pefile.PE(executable)
        preferred = pe.OPTIONAL_HEADER.ImageBase
        base = self.conditions.base or preferred
        imports = [(entry.dll.decode(), imp.name.decode(), imp.address - preferred)
                   for entry in pe.DIRECTORY_ENTRY_IMPORT for imp in entry.imports]
        if base != preferred:
            pe.relocate_image(base)
        image = pe.get_memory_mapped_image(ImageBase=base)
        size = (pe.OPTIONAL_HEADER.SizeOfImage + PAGE - 1) & ~(PAGE - 1)
        self.base, self.image_size = base, size
        self.entry = base + pe.OPTIONAL_HEADER.AddressOfEntryPoint
        self.uc.mem_map(base, size, unicorn.UC_PROT_ALL)
        self.uc.mem_write(base, bytes(image[:size]))

        self.slots = {}
        self.uc.mem_map(SLOTS, 0x10000, unicorn.UC_PROT_READ | unicorn.UC_PROT_EXEC)
        for index, (dll, name, rva) in enumerate(imports):
            if name not in STUBS:
                raise Crash(f"the program imports {dll}!{name}, which has no stub")
            slot = SLOTS + SLOT_SIZE * index
            self.slots[slot] = name
            self.uc.mem_write(slot, b"\xC2" + struct.pack("<H", 4 * len(STUBS[name][1])))
            self.uc.mem_write(base + rva, struct.pack("<I", slot))
        self.entry_returned = SLOTS + SLOT_SIZE * len(imports)
        self.filter_returned = self.entry_returned + SLOT_SIZE
        self.slots[self.entry_returned] = "(the entry point returned)"
        self.slots[self.filter_returned] = "(the exception filter returned)"

        # The loader's protections, section by section: code not writable, constants read-only.
        self.sections = []
        self.uc.mem_protect(base, PAGE, unicorn.UC_PROT_READ)
        for section in pe.sections:
            start = base + section.VirtualAddress
            length = (max(section.Misc_VirtualSize, section.SizeOfRawData) + PAGE - 1) & ~(PAGE - 1)
            flags = section.Characteristics
            protection = unicorn.UC_PROT_READ if flags & 0x40000000 else 0
            protection |= unicorn.UC_PROT_WRITE if flags & 0x80000000 else 0
            protection |= unicorn.UC_PROT_EXEC if flags & 0x20000000 else 0
            if length:
                self.uc.mem_protect(start, length, protection)
                self.sections.append((start, start + length, protection, section.Name.rstrip(b"\0").decode()))

    # Running

    def run(self):
        esp = STACK_TOP - 0x100
        self.uc.mem_write(esp, struct.pack("<I", self.entry_returned))
        self.uc.reg_write(x86.UC_X86_REG_ESP, esp)
        try:
            self.uc.emu_start(self.entry, 0, timeout=300 * 1000 * 1000)
        except unicorn.UcError as error:
            eip = self.uc.reg_read(x86.UC_X86_REG_EIP)
            self.crash = f"{error} at {eip:#x}"
        if self.exit_code is None and not self.killed and self.crash is None:
            self.crash = f"the process stopped at {self.uc.reg_read(x86.UC_X86_REG_EIP):#x} without ending"
        self._end()
        return self

    def _end(self):
        """The system closes what the process still holds."""
        for handle, file in list(self.handles.items()):
            self.left_open.append(file.path)
            self._close(handle)

    def _on_block(self, uc, address, size, _):
        key = (address, size)
        count = self.block_sizes.get(key)
        if count is None:
            count = sum(1 for _ in self.disassembler.disasm_lite(bytes(uc.mem_read(address, size)), address))
            self.block_sizes[key] = count
        self.instructions += count

    def _on_slot(self, uc, address, size, _):
        name = self.slots.get(address)
        if name is None:
            return
        if address == self.entry_returned:
            self.crash = "the entry point returned instead of ending the process"
            uc.emu_stop()
            return
        if address == self.filter_returned:
            # The filter did not end the process: the system ends it with the exception's code.
            self.exit_code = STATUS_ACCESS_VIOLATION
            self.violations.append("the exception filter returned instead of ending the process")
            uc.emu_stop()
            return
        function, argument_names = STUBS[name]
        esp = uc.reg_read(x86.UC_X86_REG_ESP)
        values = struct.unpack(f"<{len(argument_names)}I", uc.mem_read(esp + 4, 4 * len(argument_names)))
        call = Call(name, dict(zip(argument_names, values)), instructions=self.instructions)
        self.calls.append(call)
        self.counts[name] = self.counts.get(name, 0) + 1
        if self.conditions.kill_at == (name, self.counts[name]):
            self.killed = True
            uc.emu_stop()
            return
        result = function(self, call, *values)
        call.result = result
        if result is not None:
            uc.reg_write(x86.UC_X86_REG_EAX, result & 0xFFFFFFFF)
        if self.exit_code is not None:
            uc.emu_stop()

    # Helpers for the stubs

    def violation(self, call, message):
        self.violations.append(f"{call.name}: {message}")

    def read_string(self, address, limit=4096):
        data = bytes(self.uc.mem_read(address, limit)) if address else b""
        return data.split(b"\0", 1)[0]

    def read_u32(self, address):
        return struct.unpack("<I", self.uc.mem_read(address, 4))[0]

    def write_u32(self, address, value):
        self.uc.mem_write(address, struct.pack("<I", value & 0xFFFFFFFF))

    def section_of(self, start, length):
        for begin, end, protection, name in self.sections:
            if begin <= start and start + length <= end:
                return name, protection
        return None, 0

    def inside_allocation(self, address, length):
        return any(start <= address and address + length <= start + size
                   for start, size in self.allocations.items())

    def _new_handle(self, file):
        handle = self.next_handle
        self.next_handle += 4
        self.handles[handle] = file
        return handle

    def _close(self, handle):
        file = self.handles.pop(handle)
        os.close(file.descriptor)
        if file.delete_on_close and not any(other.path == file.path for other in self.handles.values()):
            try:
                os.remove(file.path)
            except FileNotFoundError:
                pass

    def file(self, call, handle, role=None):
        file = self.handles.get(handle)
        if file is None:
            self.violation(call, f"hFile {handle:#x} is not an open file handle")
        elif role and file.role != role:
            self.violation(call, f"hFile {handle:#x} is the {file.role}, not the {role}")
        return file

    def fail(self, error, result=0):
        self.last_error = error
        return result

    def raise_access_violation(self, at):
        """Delivers an access violation to the filter the process installed, as the system does
        once no handler takes it: the filter gets EXCEPTION_POINTERS on the same stack."""
        if not self.exception_filter:
            self.exit_code = STATUS_ACCESS_VIOLATION
            return
        record, context, pointers = SYSTEM_DATA, SYSTEM_DATA + 0x100, SYSTEM_DATA + 0x800
        self.uc.mem_write(record, struct.pack("<5I2I", STATUS_ACCESS_VIOLATION, 0, 0, at, 2, 1, 0))
        self.uc.mem_write(context, bytes(0x2CC))
        self.uc.mem_write(pointers, struct.pack("<2I", record, context))
        esp = self.uc.reg_read(x86.UC_X86_REG_ESP) - 0x400
        self.uc.mem_write(esp, struct.pack("<2I", self.filter_returned, pointers))
        self.uc.reg_write(x86.UC_X86_REG_ESP, esp)
        self.uc.reg_write(x86.UC_X86_REG_EIP, self.exception_filter)

    # The imports

    def _dialog(self, call, record_address):
        record = dict(zip((name for name, _ in OPENFILENAME_FIELDS),
                          struct.unpack(OPENFILENAME_FORMAT, self.uc.mem_read(record_address, OPENFILENAME_SIZE))))
        call.arguments.update({key: record[key] for key in ("lpstrFile", "nMaxFile", "Flags")})
        for field, expected in DIALOG_RECORD.items():
            if record[field] != expected:
                self.violation(call, f"{field} is {record[field]:#x}, not {expected:#x}")
        if record["Flags"] != DIALOG_FLAGS[call.name]:
            self.violation(call, f"Flags is {record['Flags']:#x}, not {DIALOG_FLAGS[call.name]:#x}")
        filter_bytes = bytes(self.uc.mem_read(record["lpstrFilter"], len(DIALOG_FILTER))) if record["lpstrFilter"] else b""
        if filter_bytes != DIALOG_FILTER:
            self.violation(call, f"lpstrFilter holds {filter_bytes!r}, not {DIALOG_FILTER!r}")
        buffer = record["lpstrFile"]
        if self.path_buffer is None:
            self.path_buffer = buffer
        elif buffer != self.path_buffer:
            self.violation(call, f"lpstrFile is {buffer:#x}, not the buffer {self.path_buffer:#x} used before")
        _, protection = self.section_of(buffer, PATH_BUFFER_SIZE)
        if not protection & unicorn.UC_PROT_WRITE:
            self.violation(call, f"lpstrFile {buffer:#x} is not {PATH_BUFFER_SIZE} writable bytes of the image")
        elif self.uc.mem_read(buffer, 1)[0] != 0:
            self.violation(call, f"lpstrFile proposes a name: {self.read_string(buffer, 511)!r}")

        self.dialogs_shown.append(call.name)
        answer = self.dialog_answers.pop(0) if self.dialog_answers else CANCEL
        call.arguments["answer"] = answer
        if answer in (CANCEL, FAIL):
            self.dialog_error = 0 if answer == CANCEL else CDERR_DIALOGFAILURE  # CommDlgExtendedError
            return 0
        path = os.fsencode(answer)
        if len(path) + 1 > record["nMaxFile"]:
            # The dialog reports FNERR_BUFFERTOOSMALL and leaves the size it needs in the buffer.
            self.uc.mem_write(buffer, struct.pack("<H", min(len(path) + 1, 0xFFFF)))
            self.dialog_error = FNERR_BUFFERTOOSMALL
            return 0
        self.uc.mem_write(buffer, path + b"\0")
        self.role = "input" if call.name == "GetOpenFileNameA" else "output"
        return 1

    @stub("lpofn")
    def GetOpenFileNameA(self, call, record):
        return self._dialog(call, record)

    @stub("lpofn")
    def GetSaveFileNameA(self, call, record):
        return self._dialog(call, record)

    @stub("lpFileName", "dwDesiredAccess", "dwShareMode", "lpSecurityAttributes", "dwCreationDisposition",
          "dwFlagsAndAttributes", "hTemplateFile")
    def CreateFileA(self, call, name, access, sharing, security, disposition, flags, template):
        path = os.fsdecode(self.read_string(name))
        call.arguments["path"] = path
        path = DEVICES.get(path.upper(), path)
        role = self.role
        if role is None:
            self.violation(call, "called before a dialog chose a file")
            return INVALID_HANDLE_VALUE
        if name != self.path_buffer:
            self.violation(call, f"lpFileName {name:#x} is not the dialogs' path buffer {self.path_buffer:#x}")
        for field, expected in CREATE_FILE[role].items():
            if call.arguments[field] != expected:
                self.violation(call, f"{field} is {call.arguments[field]:#x}, not {expected:#x} for the {role}")
        if len(path) >= MAX_PATH:
            return self.fail(ERROR_FILENAME_EXCED_RANGE, INVALID_HANDLE_VALUE)
        if path in self.conditions.held_paths or any(file.path == path for file in self.handles.values()):
            return self.fail(ERROR_SHARING_VIOLATION, INVALID_HANDLE_VALUE)
        if disposition == CREATE_NEW and self.conditions.create_new_fails:
            return self.fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE)
        mode = os.O_RDWR if access & GENERIC_WRITE else os.O_RDONLY
        if disposition == CREATE_NEW:
            mode |= os.O_CREAT | os.O_EXCL
        elif disposition != OPEN_EXISTING:
            return self.fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE)
        try:
            # Write bits are honoured as for a user, even when the tests run as root.
            if access & GENERIC_WRITE and os.path.exists(path) and not os.stat(path).st_mode & 0o222:
                return self.fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE)
            folder = os.path.dirname(path) or "."
            if disposition == CREATE_NEW and os.path.isdir(folder) and not os.stat(folder).st_mode & 0o222:
                return self.fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE)
            descriptor = os.open(path, mode | os.O_NOFOLLOW, 0o644)
        except OSError as error:
            return self.fail({errno.ENOENT: ERROR_FILE_NOT_FOUND, errno.EEXIST: ERROR_FILE_EXISTS}
                             .get(error.errno, ERROR_ACCESS_DENIED), INVALID_HANDLE_VALUE)
        self.bytes_written[path] = 0
        return self._new_handle(OpenFile(path, descriptor, role, access=access))

    @stub("hFile")
    def GetFileType(self, call, handle):
        file = self.file(call, handle)
        if file is None:
            return self.fail(ERROR_INVALID_HANDLE, 0)
        mode = os.fstat(file.descriptor).st_mode
        return FILE_TYPE_CHAR if stat.S_ISCHR(mode) else FILE_TYPE_PIPE if stat.S_ISFIFO(mode) else FILE_TYPE_DISK

    @stub("hFile", "FileInformationClass", "lpFileInformation", "dwBufferSize")
    def SetFileInformationByHandle(self, call, handle, kind, information, size):
        file = self.file(call, handle, "output")
        if kind != FILE_DISPOSITION_INFO_CLASS or size != 1:
            self.violation(call, f"class {kind} with {size} bytes, not FileDispositionInfo with its 1 byte")
            return self.fail(ERROR_INVALID_PARAMETER)
        if file is None:
            return self.fail(ERROR_INVALID_HANDLE)
        delete = self.uc.mem_read(information, 1)[0] != 0
        call.arguments["DeleteFile"] = int(delete)
        if not file.access & DELETE:
            return self.fail(ERROR_ACCESS_DENIED)
        if self.conditions.disposition_fails:
            return self.fail(ERROR_INVALID_FUNCTION)
        if not delete and not file.flushed:
            self.violation(call, "the delete disposition is cleared before the written bytes are flushed")
        file.delete_on_close = delete
        return 1

    @stub("hFile", "lpFileSizeHigh")
    def GetFileSize(self, call, handle, high_address):
        file = self.file(call, handle, "input")
        if file is None:
            return self.fail(ERROR_INVALID_HANDLE, 0xFFFFFFFF)
        size = os.fstat(file.descriptor).st_size + self.conditions.size_extra + (self.conditions.size_high << 32)
        if high_address:
            self.write_u32(high_address, size >> 32)
        elif size >> 32:
            return self.fail(0, 0xFFFFFFFF)
        return size & 0xFFFFFFFF

    @stub("uFlags", "dwBytes")
    def GlobalAlloc(self, call, flags, size):
        if flags & GMEM_MOVEABLE:
            self.violation(call, f"uFlags {flags:#x} asks for movable memory, whose handle is not a pointer")
        if self.conditions.alloc_fails:
            return self.fail(ERROR_NOT_ENOUGH_MEMORY)
        length = (max(size, 1) + PAGE - 1) & ~(PAGE - 1)
        if self.heap_next + length > HEAP_END:
            return self.fail(ERROR_NOT_ENOUGH_MEMORY)
        address = self.heap_next
        self.uc.mem_map(address, length, unicorn.UC_PROT_READ | unicorn.UC_PROT_WRITE)
        self.heap_next += length + PAGE  # a guard page between blocks
        self.allocations[address] = size
        return address

    @stub("hMem")
    def GlobalFree(self, call, address):
        size = self.allocations.pop(address, None)
        if size is None:
            self.violation(call, f"hMem {address:#x} is not a block from GlobalAlloc")
            return address
        self.uc.mem_unmap(address, (max(size, 1) + PAGE - 1) & ~(PAGE - 1))
        return 0

    # What ReadFile and WriteFile ask alike of their arguments; the count is 0 until bytes move.
    def start_transfer(self, call, handle, role, buffer, want, done_address, overlapped):
        file = self.file(call, handle, role)
        count_name = "lpNumberOfBytesRead" if role == "input" else "lpNumberOfBytesWritten"
        if overlapped:
            self.violation(call, "lpOverlapped is not null on a file opened for plain transfers")
        if not done_address:
            self.violation(call, f"{count_name} is null")
        if not self.inside_allocation(buffer, want):
            self.violation(call, f"{want} bytes at {buffer:#x} are not inside a GlobalAlloc block")
        if want > LARGEST_TRANSFER:
            self.violation(call, f"{want} bytes in one call, more than {LARGEST_TRANSFER}")
        if done_address:
            self.write_u32(done_address, 0)
        return file

    @stub("hFile", "lpBuffer", "nNumberOfBytesToRead", "lpNumberOfBytesRead", "lpOverlapped")
    def ReadFile(self, call, handle, buffer, want, done_address, overlapped):
        file = self.start_transfer(call, handle, "input", buffer, want, done_address, overlapped)
        if file is None:
            return self.fail(ERROR_INVALID_HANDLE)
        if self.counts[call.name] == self.conditions.read_fails_at:
            return self.fail(ERROR_READ_FAULT)
        if self.conditions.read_piece:
            want = min(want, self.conditions.read_piece)
        data = os.read(file.descriptor, want)
        self.uc.mem_write(buffer, data)
        if done_address:
            self.write_u32(done_address, len(data))
        call.arguments["moved"] = len(data)
        return 1

    @stub("hFile", "lpBuffer", "nNumberOfBytesToWrite", "lpNumberOfBytesWritten", "lpOverlapped")
    def WriteFile(self, call, handle, buffer, want, done_address, overlapped):
        file = self.start_transfer(call, handle, "output", buffer, want, done_address, overlapped)
        if file is None:
            return self.fail(ERROR_INVALID_HANDLE)
        if not file.delete_on_close:
            self.violation(call, "writes into the output while it carries no delete disposition")
        file.flushed = False
        if self.conditions.write_piece:
            want = min(want, self.conditions.write_piece)
        room = self.conditions.write_fails_after - self.bytes_written[file.path]
        failing = self.conditions.write_fails_after >= 0 and room < want
        if failing:
            want = max(room, 0)
        failing_once = self.counts[call.name] == self.conditions.write_fails_at
        if failing_once:
            want //= 2
        data = bytes(self.uc.mem_read(buffer, want))
        os.write(file.descriptor, data)
        self.bytes_written[file.path] += len(data)
        call.arguments["moved"] = len(data)
        if self.counts[call.name] == self.conditions.fault_in_write_at:
            esp = self.uc.reg_read(x86.UC_X86_REG_ESP)
            self.raise_access_violation(self.read_u32(esp))
            return None
        if failing:
            return self.fail(ERROR_WRITE_FAULT)
        if done_address:
            self.write_u32(done_address, len(data))
        return self.fail(ERROR_WRITE_FAULT) if failing_once else 1

    @stub("hFile")
    def FlushFileBuffers(self, call, handle):
        file = self.file(call, handle, "output")
        if file is None or self.conditions.flush_fails:
            return self.fail(ERROR_WRITE_FAULT)
        os.fsync(file.descriptor)
        file.flushed = True
        return 1

    @stub("hObject")
    def CloseHandle(self, call, handle):
        if handle not in self.handles:
            self.violation(call, f"hObject {handle:#x} is not an open handle")
            return self.fail(ERROR_INVALID_HANDLE)
        self._close(handle)
        return 1

    @stub("lpFileName")
    def DeleteFileA(self, call, name):
        path = os.fsdecode(self.read_string(name))
        call.arguments["path"] = path
        if any(file.path == path for file in self.handles.values()):
            return self.fail(ERROR_SHARING_VIOLATION)
        try:
            os.remove(path)
        except OSError:
            return self.fail(ERROR_FILE_NOT_FOUND)
        return 1

    @stub("lpTopLevelExceptionFilter")
    def SetUnhandledExceptionFilter(self, call, function):
        _, protection = self.section_of(function, 1)
        if not protection & unicorn.UC_PROT_EXEC:
            self.violation(call, f"the filter {function:#x} is not in the program's code")
        previous, self.exception_filter = self.exception_filter, function
        return previous

    @stub()
    def GetCurrentProcess(self, call):
        return CURRENT_PROCESS

    @stub("uExitCode")
    def ExitProcess(self, call, code):
        self.exit_code = code
        return 0

    @stub("hProcess", "uExitCode")
    def TerminateProcess(self, call, process, code):
        if process != CURRENT_PROCESS:
            self.violation(call, f"hProcess {process:#x} is not the current process")
            return self.fail(ERROR_INVALID_HANDLE)
        self.exit_code = code
        return 1


def run(executable, conditions):
    """Runs the program under the conditions; returns the ended Process (its calls, violations,
    exit code, what it left open)."""
    return Process(executable, conditions).run()
