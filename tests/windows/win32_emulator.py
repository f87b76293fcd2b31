"""An emulated Win32 for the i386 and ARM64 Windows programs, on Unicorn: the image mapped as the loader
maps it, each import a slot hooked to run the method of its name, the host's files served. On i386 the
slot holds the stdcall `ret 4*n` and the arguments are on the stack; on ARM64 it holds `ret` (to x30) and
the arguments are in x0-x7, the result in x0. Every call is recorded and checked against the programs'
contract, each deviation naming the call and the field. No error code is kept: the programs import
neither GetLastError nor CommDlgExtendedError."""
import dataclasses
import inspect
import os
import stat
import struct

import pefile
import unicorn
from unicorn import arm64_const as arm64
from unicorn import x86_const as x86

STACK_TOP, STACK_SIZE = 0x00300000, 0x00100000
HEAP_BASE, HEAP_END = 0x40000000, 0x7D000000
SYSTEM_DATA = 0x7E000000   # records the system hands to the process (exception pointers)
SLOTS, SLOT_SIZE = 0x7F000000, 16   # one slot per import
PAGE = 0x1000
# The loader's protections from a section's flags: code not writable, constants read-only.
PROTECTIONS = {0x40000000: unicorn.UC_PROT_READ, 0x80000000: unicorn.UC_PROT_WRITE, 0x20000000: unicorn.UC_PROT_EXEC}

INVALID_HANDLE_VALUE = CURRENT_PROCESS = -1   # as wide as a pointer
GENERIC_READ, GENERIC_WRITE, DELETE = 0x80000000, 0x40000000, 0x00010000
CREATE_NEW, OPEN_EXISTING = 1, 3
FILE_TYPE_DISK, FILE_TYPE_CHAR, FILE_TYPE_PIPE = 1, 2, 3
FILE_DISPOSITION_INFO_CLASS = 4   # FileDispositionInfo; the record is one BOOLEAN
LARGEST_TRANSFER = 16 * 1024 * 1024
OFN_EXPLORER = 0x00080000
GMEM_MOVEABLE = 0x0002
STATUS_ACCESS_VIOLATION = 0xC0000005
MAX_PATH = 260

# OPENFILENAMEA as the compiler lays it out, in its 400A form: 76 bytes on i386, 136 on ARM64 (pointers of
# 8 bytes, each aligned).
OPENFILENAME_FIELDS = ("lStructSize hwndOwner hInstance lpstrFilter lpstrCustomFilter nMaxCustFilter nFilterIndex "
                       "lpstrFile nMaxFile lpstrFileTitle nMaxFileTitle lpstrInitialDir lpstrTitle Flags "
                       "nFileOffset nFileExtension lpstrDefExt lCustData lpfnHook lpTemplateName").split()
OPENFILENAME = {4: struct.Struct("<14I2H4I"), 8: struct.Struct("<I4x4Q2IQI4xQI4x2QI2H4Q")}

# The programs' contract with the dialogs: the record's fields each time either dialog is shown.
DIALOG_RECORD = {"nMaxFile": 511, **dict.fromkeys(
    "hwndOwner hInstance lpstrCustomFilter nMaxCustFilter nFilterIndex lpstrFileTitle nMaxFileTitle lpstrInitialDir "
    "lpstrTitle lpstrDefExt lCustData lpfnHook lpTemplateName".split(), 0)}
DIALOGS = {"GetOpenFileNameA": ("open", "input", OFN_EXPLORER), "GetSaveFileNameA": ("save", "output", 0)}
DIALOG_FILTER = b"All files\0*.*\0\0"
PATH_BUFFER_SIZE = 512

# The programs' contract with CreateFileA, for the files chosen in the open (input) and save (output) dialogs.
CREATE_FILE = {role: {"dwDesiredAccess": GENERIC_READ | GENERIC_WRITE | access, "dwShareMode": 0,
                      "lpSecurityAttributes": 0, "dwCreationDisposition": disposition, "hTemplateFile": 0}
               for role, access, disposition in (("input", 0, OPEN_EXISTING), ("output", DELETE, CREATE_NEW))}

# DOS device names, which CreateFileA opens as devices wherever they stand.
DEVICES = {"NUL": os.devnull, "\\\\.\\NUL": os.devnull}

CANCEL = "<cancel>"   # a dialog answer: the user cancels
FAIL = "<fail>"       # a dialog answer: the dialog cannot be shown


@dataclasses.dataclass
class Conditions:
    """What the emulated system does, on demand where no real system would. A call is (import name,
    call number), numbers from 1 per import."""
    dialogs: list = dataclasses.field(default_factory=list)  # host paths, CANCEL or FAIL, in turn
    fails_at: tuple = ()           # that call fails; a failing WriteFile writes half its bytes and reports them
    size_extra: int = 0            # added to the size GetFileSize reports
    read_piece: int = 0            # at most this many bytes per ReadFile (0: as asked)
    write_piece: int = 0           # at most this many bytes per WriteFile (0: as asked)
    write_fails_after: int = -1    # WriteFile fails once this many bytes are in the file
    fault_in_write_at: int = 0     # that WriteFile call raises an access violation after writing
    kill_at: tuple = ()            # the process is killed at that call
    held_paths: tuple = ()         # files another process holds without sharing
    base: int = 0                  # where to load the image (0: its preferred base)
    count_instructions: bool = False  # counts instructions and records the code blocks run


# By the PE's machine: Unicorn's processor and mode, the registers of the program counter, stack pointer and
# result, capstone's processor and mode.
MACHINES = {0x14C: (unicorn.UC_ARCH_X86, unicorn.UC_MODE_32, x86.UC_X86_REG_EIP, x86.UC_X86_REG_ESP,
                    x86.UC_X86_REG_EAX, "CS_ARCH_X86", "CS_MODE_32"),
            0xAA64: (unicorn.UC_ARCH_ARM64, unicorn.UC_MODE_ARM, arm64.UC_ARM64_REG_PC, arm64.UC_ARM64_REG_SP,
                     arm64.UC_ARM64_REG_X0, "CS_ARCH_ARM64", "CS_MODE_ARM")}


@dataclasses.dataclass
class Call:
    name: str
    arguments: dict
    result: int = None
    instructions: int = 0   # run by the process before the call


@dataclasses.dataclass
class OpenFile:
    path: str
    descriptor: int
    role: str                     # "input" or "output"
    delete_on_close: bool = False  # the file goes when its last handle closes
    flushed: bool = True          # no write since the last FlushFileBuffers
    written: int = 0


def pages(length):
    return (max(length, 1) + PAGE - 1) & ~(PAGE - 1)


class Process:
    def __init__(self, executable, conditions):
        self.conditions = conditions
        self.calls, self.violations, self.counts = [], [], {}
        self.exit_code, self.killed, self.crash = None, False, None
        self.handles, self.next_handle = {}, 0x100
        self.allocations, self.heap_next = {}, HEAP_BASE
        self.dialog_answers, self.dialogs_shown = list(conditions.dialogs), []
        self.role = self.path_buffer = None
        self.exception_filter = self.instructions = 0
        self.block_sizes = {}   # (address, size) of every code block run: its instruction count

        machine = pefile.PE(executable, fast_load=True).FILE_HEADER.Machine
        architecture, mode, self.pc, self.sp, self.result, *disassembler = MACHINES[machine]
        self.arm64, self.word = machine == 0xAA64, 8 if machine == 0xAA64 else 4
        self.mask = (1 << 8 * self.word) - 1
        self.uc = unicorn.Uc(architecture, mode)
        self._load(executable)
        self.uc.mem_map(STACK_TOP - STACK_SIZE, STACK_SIZE, unicorn.UC_PROT_READ | unicorn.UC_PROT_WRITE)
        self.uc.mem_map(SYSTEM_DATA, 0x10000, unicorn.UC_PROT_READ | unicorn.UC_PROT_WRITE)
        self.uc.hook_add(unicorn.UC_HOOK_CODE, self._on_slot, begin=SLOTS, end=SLOTS + 0xFFFF)
        if conditions.count_instructions:
            import capstone
            self.disassembler = capstone.Cs(*(getattr(capstone, name) for name in disassembler))
            self.uc.hook_add(unicorn.UC_HOOK_BLOCK, self._on_block)

    def _load(self, executable):
        pe = pefile.PE(executable)
        preferred = pe.OPTIONAL_HEADER.ImageBase
        self.base = base = self.conditions.base or preferred
        imports = [(imp.name.decode(), imp.address - preferred) for entry in pe.DIRECTORY_ENTRY_IMPORT
                   for imp in entry.imports]
        if base != preferred:
            pe.relocate_image(base)
        size = pages(pe.OPTIONAL_HEADER.SizeOfImage)
        self.entry = base + pe.OPTIONAL_HEADER.AddressOfEntryPoint
        self.uc.mem_map(base, size, unicorn.UC_PROT_ALL)
        self.uc.mem_write(base, bytes(pe.get_memory_mapped_image(ImageBase=base)[:size]))

        self.slots = {}
        self.uc.mem_map(SLOTS, 0x10000, unicorn.UC_PROT_READ | unicorn.UC_PROT_EXEC)
        for index, (name, rva) in enumerate(imports):
            slot = SLOTS + SLOT_SIZE * index
            self.slots[slot] = name
            code = b"\xC0\x03\x5F\xD6" if self.arm64 else b"\xC2" + struct.pack("<H", 4 * len(STUBS[name][1]))
            self.uc.mem_write(slot, code)
            self.uc.mem_write(base + rva, slot.to_bytes(self.word, "little"))

        self.sections = []
        self.uc.mem_protect(base, PAGE, unicorn.UC_PROT_READ)
        for section in pe.sections:
            start, length = base + section.VirtualAddress, max(section.Misc_VirtualSize, section.SizeOfRawData)
            protection = sum(bit for flag, bit in PROTECTIONS.items() if section.Characteristics & flag)
            if length:
                self.uc.mem_protect(start, pages(length), protection)
                self.sections.append((start, start + pages(length), protection))

    def run(self):
        # The entry point and the exception filter return to address 0, where the run stops unended.
        self.uc.reg_write(self.sp, STACK_TOP - 0x100)
        try:
            self.uc.emu_start(self.entry, 0, timeout=300 * 1000 * 1000)
        except unicorn.UcError as error:
            self.crash = f"{error} at {self.uc.reg_read(self.pc):#x}"
        if self.exit_code is None and not self.killed and self.crash is None:
            self.crash = f"the process stopped at {self.uc.reg_read(self.pc):#x} without ending"
        self.left_open = [file.path for file in self.handles.values()]
        for handle in list(self.handles):   # the system closes what the process still holds
            self._close(handle)
        return self

    def _on_block(self, uc, address, size, _):
        key = (address, size)
        if key not in self.block_sizes:
            self.block_sizes[key] = len(list(self.disassembler.disasm_lite(bytes(uc.mem_read(address, size)), address)))
        self.instructions += self.block_sizes[key]

    def _on_slot(self, uc, address, size, _):
        name = self.slots[address]
        function, argument_names = STUBS[name]
        if self.arm64:   # only pointers, handles (lp..., h...) and SIZE_T fill their register; a DWORD its lower half
            values = tuple(uc.reg_read(arm64.UC_ARM64_REG_X0 + index) & (self.mask if argument.startswith(("lp", "h"))
                           or argument == "dwBytes" else 0xFFFFFFFF) for index, argument in enumerate(argument_names))
        else:
            esp = uc.reg_read(x86.UC_X86_REG_ESP)
            values = struct.unpack(f"<{len(argument_names)}I", uc.mem_read(esp + 4, 4 * len(argument_names)))
        call = Call(name, dict(zip(argument_names, values)), instructions=self.instructions)
        self.calls.append(call)
        self.counts[name] = self.counts.get(name, 0) + 1
        if self.conditions.kill_at == (name, self.counts[name]):
            self.killed = True
            return uc.emu_stop()
        self.failing = self.conditions.fails_at == (name, self.counts[name])
        call.result = function(self, call, *values)
        if call.result is not None:
            uc.reg_write(self.result, call.result & self.mask)
        if self.exit_code is not None:
            uc.emu_stop()

    def violation(self, call, message):
        self.violations.append(f"{call.name}: {message}")

    def read_string(self, address, limit=4096):
        return (bytes(self.uc.mem_read(address, limit)) if address else b"").split(b"\0", 1)[0]

    def write_u32(self, address, value):
        self.uc.mem_write(address, struct.pack("<I", value & 0xFFFFFFFF))

    def protection_of(self, start, length):
        return next((protection for begin, end, protection in self.sections
                     if begin <= start and start + length <= end), 0)

    def _close(self, handle):
        file = self.handles.pop(handle)
        os.close(file.descriptor)
        if file.delete_on_close and not any(other.path == file.path for other in self.handles.values()):
            os.remove(file.path)

    def file(self, call, handle, role=None):
        file = self.handles.get(handle)
        if file is None:
            self.violation(call, f"hFile {handle:#x} is not an open file handle")
        elif role and file.role != role:
            self.violation(call, f"hFile {handle:#x} is the {file.role}, not the {role}")
        return file

    def return_address(self):
        if self.arm64:
            return self.uc.reg_read(arm64.UC_ARM64_REG_X30)
        return struct.unpack("<I", self.uc.mem_read(self.uc.reg_read(x86.UC_X86_REG_ESP), 4))[0]

    def raise_access_violation(self, at):
        """Delivers an access violation to the process's filter as the system does: the pointers on its
        stack (i386) or in x0 (ARM64). Without a filter the process returns to address 0 and stops unended."""
        record, context, pointers = SYSTEM_DATA, SYSTEM_DATA + 0x100, SYSTEM_DATA + 0x800
        # Code, flags, next record, address, number of parameters (padded to 8 bytes on ARM64), the parameters.
        layout = "<2I2QI4x2Q" if self.arm64 else "<5I2I"
        self.uc.mem_write(record, struct.pack(layout, STATUS_ACCESS_VIOLATION, 0, 0, at, 2, 1, 0))
        self.uc.mem_write(pointers, record.to_bytes(self.word, "little") + context.to_bytes(self.word, "little"))
        stack = (self.uc.reg_read(self.sp) - 0x400) & ~15
        self.uc.reg_write(self.sp, stack)
        if self.arm64:
            self.uc.reg_write(arm64.UC_ARM64_REG_X0, pointers)
            self.uc.reg_write(arm64.UC_ARM64_REG_X30, 0)
        else:
            self.uc.mem_write(stack, struct.pack("<2I", 0, pointers))
        self.uc.reg_write(self.pc, self.exception_filter)

    # The imports: each a method of its name, whose arguments have the names Win32 gives them.

    def GetOpenFileNameA(self, call, lpofn):
        layout = OPENFILENAME[self.word]
        record = dict(zip(OPENFILENAME_FIELDS, layout.unpack(self.uc.mem_read(lpofn, layout.size))))
        kind, role, flags = DIALOGS[call.name]
        for field, expected in {**DIALOG_RECORD, "lStructSize": layout.size, "Flags": flags}.items():
            if record[field] != expected:
                self.violation(call, f"{field} is {record[field]:#x}, not {expected:#x}")
        address = record["lpstrFilter"]
        filter_bytes = bytes(self.uc.mem_read(address, len(DIALOG_FILTER))) if address else b""
        if filter_bytes != DIALOG_FILTER:
            self.violation(call, f"lpstrFilter holds {filter_bytes!r}, not {DIALOG_FILTER!r}")
        buffer = record["lpstrFile"]
        self.path_buffer = self.path_buffer or buffer
        if buffer != self.path_buffer:
            self.violation(call, f"lpstrFile is {buffer:#x}, not the buffer {self.path_buffer:#x} used before")
        if not self.protection_of(buffer, PATH_BUFFER_SIZE) & unicorn.UC_PROT_WRITE:
            self.violation(call, f"lpstrFile {buffer:#x} is not {PATH_BUFFER_SIZE} writable bytes of the image")
        elif self.uc.mem_read(buffer, 1)[0] != 0:
            self.violation(call, f"lpstrFile proposes a name: {self.read_string(buffer, 511)!r}")

        self.dialogs_shown.append(kind)
        answer = self.dialog_answers.pop(0) if self.dialog_answers else CANCEL
        if answer in (CANCEL, FAIL):
            return 0
        path = os.fsencode(answer)
        if len(path) + 1 > record["nMaxFile"]:
            # FNERR_BUFFERTOOSMALL: the dialog leaves the size it needs in the buffer.
            self.uc.mem_write(buffer, struct.pack("<H", min(len(path) + 1, 0xFFFF)))
            return 0
        self.uc.mem_write(buffer, path + b"\0")
        self.role = role
        return 1

    GetSaveFileNameA = GetOpenFileNameA

    def CreateFileA(self, call, lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                    dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile):
        path = os.fsdecode(self.read_string(lpFileName))
        path = DEVICES.get(path.upper(), path)
        role = self.role
        if role is None:
            self.violation(call, "called before a dialog chose a file")
            return INVALID_HANDLE_VALUE
        if lpFileName != self.path_buffer:
            self.violation(call, f"lpFileName {lpFileName:#x} is not the dialogs' path buffer {self.path_buffer:#x}")
        for field, expected in CREATE_FILE[role].items():
            if call.arguments[field] != expected:
                self.violation(call, f"{field} is {call.arguments[field]:#x}, not {expected:#x} for the {role}")
        creating = dwCreationDisposition == CREATE_NEW
        held = path in self.conditions.held_paths or any(file.path == path for file in self.handles.values())
        if len(path) >= MAX_PATH or held or self.failing:
            return INVALID_HANDLE_VALUE
        writing = dwDesiredAccess & GENERIC_WRITE
        # Write bits are honoured as for a user, even when the tests run as root.
        read_only = writing and os.path.exists(path) and not os.stat(path).st_mode & 0o222
        folder = os.path.dirname(path) or "."
        locked = creating and os.path.isdir(folder) and not os.stat(folder).st_mode & 0o222
        if read_only or locked:
            return INVALID_HANDLE_VALUE
        mode = os.O_CREAT | os.O_EXCL if creating else 0
        try:
            descriptor = os.open(path, mode | os.O_NOFOLLOW | (os.O_RDWR if writing else os.O_RDONLY))
        except OSError:
            return INVALID_HANDLE_VALUE
        self.handles[self.next_handle] = OpenFile(path, descriptor, role)
        self.next_handle += 4
        return self.next_handle - 4

    def GetFileType(self, call, hFile):
        file = self.file(call, hFile)
        if file is None:
            return 0
        mode = os.fstat(file.descriptor).st_mode
        return FILE_TYPE_CHAR if stat.S_ISCHR(mode) else FILE_TYPE_PIPE if stat.S_ISFIFO(mode) else FILE_TYPE_DISK

    def SetFileInformationByHandle(self, call, hFile, FileInformationClass, lpFileInformation, dwBufferSize):
        file = self.file(call, hFile, "output")
        if (FileInformationClass, dwBufferSize) != (FILE_DISPOSITION_INFO_CLASS, 1):
            self.violation(call, f"class {FileInformationClass} with {dwBufferSize} bytes, not FileDispositionInfo's 1")
            return 0
        if file is None or self.failing:
            return 0
        delete = int(self.uc.mem_read(lpFileInformation, 1)[0] != 0)
        if not delete and not file.flushed:
            self.violation(call, "the delete disposition is cleared before the written bytes are flushed")
        file.delete_on_close = delete
        return 1

    def GetFileSize(self, call, hFile, lpFileSizeHigh):
        file = self.file(call, hFile, "input")
        if file is None:
            return 0xFFFFFFFF
        size = os.fstat(file.descriptor).st_size + self.conditions.size_extra
        if lpFileSizeHigh:
            self.write_u32(lpFileSizeHigh, size >> 32)
        elif size >> 32:
            return 0xFFFFFFFF
        return size & 0xFFFFFFFF

    def GlobalAlloc(self, call, uFlags, dwBytes):
        if uFlags & GMEM_MOVEABLE:
            self.violation(call, f"uFlags {uFlags:#x} asks for movable memory, whose handle is not a pointer")
        address = self.heap_next
        if self.failing or address + pages(dwBytes) > HEAP_END:
            return 0
        self.uc.mem_map(address, pages(dwBytes), unicorn.UC_PROT_READ | unicorn.UC_PROT_WRITE)
        self.heap_next += pages(dwBytes) + PAGE  # a guard page between blocks
        self.allocations[address] = dwBytes
        return address

    def GlobalFree(self, call, hMem):
        if hMem not in self.allocations:
            self.violation(call, f"hMem {hMem:#x} is not a block from GlobalAlloc")
            return hMem
        self.uc.mem_unmap(hMem, pages(self.allocations.pop(hMem)))
        return 0

    def transfer(self, call, role):
        """What ReadFile and WriteFile ask alike of their arguments; the count is 0 until bytes move."""
        handle, buffer, want, done_address, overlapped = call.arguments.values()
        file = self.file(call, handle, role)
        if overlapped:
            self.violation(call, "lpOverlapped is not null on a file opened for plain transfers")
        if not done_address:
            self.violation(call, f"{list(call.arguments)[3]} is null")
        if not any(start <= buffer and buffer + want <= start + size for start, size in self.allocations.items()):
            self.violation(call, f"{want} bytes at {buffer:#x} are not inside a GlobalAlloc block")
        if want > LARGEST_TRANSFER:
            self.violation(call, f"{want} bytes in one call, more than {LARGEST_TRANSFER}")
        if done_address:
            self.write_u32(done_address, 0)
        return file

    def ReadFile(self, call, hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped):
        file = self.transfer(call, "input")
        if file is None or self.failing:
            return 0
        data = os.read(file.descriptor, min(nNumberOfBytesToRead, self.conditions.read_piece or nNumberOfBytesToRead))
        self.uc.mem_write(lpBuffer, data)
        if lpNumberOfBytesRead:
            self.write_u32(lpNumberOfBytesRead, len(data))
        return 1

    def WriteFile(self, call, hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped):
        file = self.transfer(call, "output")
        if file is None:
            return 0
        if not file.delete_on_close:
            self.violation(call, "writes into the output while it carries no delete disposition")
        file.flushed = False
        want = min(nNumberOfBytesToWrite, self.conditions.write_piece or nNumberOfBytesToWrite)
        limit = self.conditions.write_fails_after
        failing = 0 <= limit < file.written + want
        want = max(limit - file.written, 0) if failing else want
        if self.failing:
            want //= 2
        os.write(file.descriptor, bytes(self.uc.mem_read(lpBuffer, want)))
        file.written += want
        if self.counts[call.name] == self.conditions.fault_in_write_at:
            return self.raise_access_violation(self.return_address())
        if lpNumberOfBytesWritten and not failing:
            self.write_u32(lpNumberOfBytesWritten, want)
        return 0 if failing or self.failing else 1

    def FlushFileBuffers(self, call, hFile):
        file = self.file(call, hFile, "output")
        if file is None or self.failing:
            return 0
        os.fsync(file.descriptor)
        file.flushed = True
        return 1

    def CloseHandle(self, call, hObject):
        if hObject not in self.handles:
            self.violation(call, f"hObject {hObject:#x} is not an open handle")
            return 0
        self._close(hObject)
        return 1

    def DeleteFileA(self, call, lpFileName):
        path = os.fsdecode(self.read_string(lpFileName))
        if any(file.path == path for file in self.handles.values()):
            return 0
        try:
            os.remove(path)
        except OSError:
            return 0
        return 1

    def SetUnhandledExceptionFilter(self, call, lpTopLevelExceptionFilter):
        if not self.protection_of(lpTopLevelExceptionFilter, 1) & unicorn.UC_PROT_EXEC:
            self.violation(call, f"the filter {lpTopLevelExceptionFilter:#x} is not in the program's code")
        previous, self.exception_filter = self.exception_filter, lpTopLevelExceptionFilter
        return previous

    def GetCurrentProcess(self, call):
        return CURRENT_PROCESS

    def ExitProcess(self, call, uExitCode):
        self.exit_code = uExitCode
        return 0

    def TerminateProcess(self, call, hProcess, uExitCode):
        if hProcess != CURRENT_PROCESS & self.mask:
            self.violation(call, f"hProcess {hProcess:#x} is not the current process")
            return 0
        self.exit_code = uExitCode
        return 1


# The imports the emulated system serves, each with the names of its arguments.
STUBS = {name: (function, tuple(inspect.signature(function).parameters)[2:])
         for name, function in vars(Process).items() if name[0].isupper()}


def run(executable, conditions):
    """Runs the program under the conditions; returns the ended Process: calls, violations, exit code."""
    return Process(executable, conditions).run()
