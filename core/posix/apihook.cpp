// ApiHook on Linux: an ELF import patcher over the dynamic linker's view of
// the loaded modules; see core/platform/apihook.h.
#include "core/platform/apihook.h"

#include <dlfcn.h>
#include <elf.h>
#include <link.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cstring>

#include "core/runtime/core.h"

namespace {

// open and open64, each through a PLT slot and a GOT entry, leave room.
constexpr int kApiHookMaxSlots = 8;
constexpr const char *kApiHookImports[] = {"open", "open64"};

// The module as dl_iterate_phdr shows it.
struct HookModule {
  ElfW(Addr) base;
  const ElfW(Phdr) * phdr;
  ElfW(Half) phnum;
};

struct HookFind {
  const void *dynamic;  // the link map's dynamic section; NULL: the program
  HookModule module;
  int found;
};

int hookFindModule(struct dl_phdr_info *info, size_t, void *data) {
  auto *find = static_cast<HookFind *>(data);
  bool match = find->dynamic == nullptr;  // the program is the first entry
  for (ElfW(Half) i = 0; !match && i < info->dlpi_phnum; i++)
    match = info->dlpi_phdr[i].p_type == PT_DYNAMIC &&
            reinterpret_cast<const void *>(info->dlpi_addr + info->dlpi_phdr[i].p_vaddr) ==
                find->dynamic;
  if (!match) return 0;
  find->module = {info->dlpi_addr, info->dlpi_phdr, info->dlpi_phnum};
  find->found = 1;
  return 1;
}

int hookLocate(PlatformModule *handle, HookModule *out) {
  HookFind find = {};
  if (handle != nullptr) {
    struct link_map *map = nullptr;
    if (dlinfo(handle, RTLD_DI_LINKMAP, &map) != 0 || map == nullptr) return 0;
    find.dynamic = map->l_ld;
  }
  dl_iterate_phdr(hookFindModule, &find);
  *out = find.module;
  return find.found;
}

// The loader relocates the dynamic section's addresses in place for most
// modules; where it has not, they are still offsets from the base.
uintptr_t hookAddress(const HookModule &m, ElfW(Addr) value) {
  return value < m.base ? m.base + value : value;
}

// The loadable segment that holds [address, address + size), or NULL.
const ElfW(Phdr) * hookSegment(const HookModule &m, uintptr_t address, size_t size) {
  for (ElfW(Half) i = 0; i < m.phnum; i++) {
    const ElfW(Phdr) &p = m.phdr[i];
    uintptr_t start = m.base + p.p_vaddr;
    if (p.p_type == PT_LOAD && address >= start && address - start + size <= p.p_memsz) return &p;
  }
  return nullptr;
}

// The protection the loader left on the page at address: read-only inside
// the RELRO range (as the loader rounds it), else the segment's own flags.
int hookProtection(const HookModule &m, const ElfW(Phdr) & segment, uintptr_t page) {
  uintptr_t pageSize = uintptr_t(sysconf(_SC_PAGESIZE));
  for (ElfW(Half) i = 0; i < m.phnum; i++) {
    const ElfW(Phdr) &p = m.phdr[i];
    if (p.p_type != PT_GNU_RELRO) continue;
    uintptr_t start = (m.base + p.p_vaddr) & ~(pageSize - 1);
    uintptr_t end = (m.base + p.p_vaddr + p.p_memsz) & ~(pageSize - 1);
    if (page >= start && page < end) return PROT_READ;
  }
  return ((segment.p_flags & PF_R) ? PROT_READ : 0) | ((segment.p_flags & PF_W) ? PROT_WRITE : 0) |
         ((segment.p_flags & PF_X) ? PROT_EXEC : 0);
}

struct HookSlot {
  uintptr_t *address;
  const char *name;
  int protection;
  int64_t pltIndex;  // its index in the PLT relocations; -1 for a GOT entry
};

struct HookTables {
  const ElfW(Sym) * symbols;
  const char *strings;
  size_t stringBytes;
};

// Adds the file-open slots of one relocation table. 0 when the table names
// a slot outside the module's segments.
int hookCollect(const HookModule &m, const HookTables &t, const ElfW(Rela) * table, size_t bytes,
                bool isPlt, HookSlot *slots, int *count) {
  if (table == nullptr) return 1;
  for (size_t i = 0; i < bytes / sizeof(ElfW(Rela)); i++) {
    uint32_t type = ELF64_R_TYPE(table[i].r_info);
    if (type != R_X86_64_JUMP_SLOT && type != R_X86_64_GLOB_DAT) continue;
    const ElfW(Sym) &symbol = t.symbols[ELF64_R_SYM(table[i].r_info)];
    if (symbol.st_name >= t.stringBytes) return 0;
    const char *name = t.strings + symbol.st_name;
    const char *import = nullptr;
    for (const char *candidate : kApiHookImports)
      if (strcmp(name, candidate) == 0) import = candidate;
    if (import == nullptr) continue;
    uintptr_t address = m.base + table[i].r_offset;
    const ElfW(Phdr) *segment = hookSegment(m, address, sizeof(uintptr_t));
    if (segment == nullptr || address % sizeof(uintptr_t) != 0 || *count == kApiHookMaxSlots)
      return 0;
    uintptr_t page = address & ~(uintptr_t(sysconf(_SC_PAGESIZE)) - 1);
    slots[(*count)++] = {reinterpret_cast<uintptr_t *>(address), import,
                         hookProtection(m, *segment, page),
                         isPlt && type == R_X86_64_JUMP_SLOT ? int64_t(i) : -1};
  }
  return 1;
}

// A lazy slot not called yet points at its PLT entry's "push <index>"
// (after an endbr64 in IBT-enabled PLTs), which binds the slot on the next
// call through it.
bool hookIsLazyStub(const HookModule &m, const HookSlot &slot, uintptr_t target) {
  if (slot.pltIndex < 0 || hookSegment(m, target, 9) == nullptr) return false;
  const auto *code = reinterpret_cast<const uint8_t *>(target);
  if (code[0] == 0xf3 && code[1] == 0x0f && code[2] == 0x1e && code[3] == 0xfa) code += 4;
  uint32_t index;
  memcpy(&index, code + 1, 4);
  return code[0] == 0x68 && index == uint64_t(slot.pltIndex);
}

int hookSetProtection(const HookSlot &slot, int protection) {
  uintptr_t pageSize = uintptr_t(sysconf(_SC_PAGESIZE));
  void *page =
      reinterpret_cast<void *>(reinterpret_cast<uintptr_t>(slot.address) & ~(pageSize - 1));
  return mprotect(page, pageSize, protection) == 0;
}

}  // namespace

int ApiHook_SwapCreateFileW(PlatformModule *module, void *, void *hook, void **previous) {
  CHECK_POINTER(hook);
  CHECK_POINTER(previous);
  HookModule m;
  if (!hookLocate(module, &m)) return 0;
  const ElfW(Dyn) *dynamic = nullptr;
  for (ElfW(Half) i = 0; i < m.phnum; i++)
    if (m.phdr[i].p_type == PT_DYNAMIC)
      dynamic = reinterpret_cast<const ElfW(Dyn) *>(m.base + m.phdr[i].p_vaddr);
  if (dynamic == nullptr) return 0;

  HookTables tables = {};
  const ElfW(Rela) *plt = nullptr, *rela = nullptr;
  size_t pltBytes = 0, relaBytes = 0;
  ElfW(Sxword) pltKind = DT_RELA;
  for (const ElfW(Dyn) *d = dynamic; d->d_tag != DT_NULL; d++) {
    switch (d->d_tag) {
      case DT_SYMTAB:
        tables.symbols = reinterpret_cast<const ElfW(Sym) *>(hookAddress(m, d->d_un.d_ptr));
        break;
      case DT_STRTAB:
        tables.strings = reinterpret_cast<const char *>(hookAddress(m, d->d_un.d_ptr));
        break;
      case DT_STRSZ:
        tables.stringBytes = d->d_un.d_val;
        break;
      case DT_JMPREL:
        plt = reinterpret_cast<const ElfW(Rela) *>(hookAddress(m, d->d_un.d_ptr));
        break;
      case DT_PLTRELSZ:
        pltBytes = d->d_un.d_val;
        break;
      case DT_PLTREL:
        pltKind = ElfW(Sxword)(d->d_un.d_val);
        break;
      case DT_RELA:
        rela = reinterpret_cast<const ElfW(Rela) *>(hookAddress(m, d->d_un.d_ptr));
        break;
      case DT_RELASZ:
        relaBytes = d->d_un.d_val;
        break;
      default:
        break;
    }
  }
  if (tables.symbols == nullptr || tables.strings == nullptr || pltKind != DT_RELA) return 0;

  HookSlot slots[kApiHookMaxSlots];
  int count = 0;
  if (!hookCollect(m, tables, plt, pltBytes, true, slots, &count) ||
      !hookCollect(m, tables, rela, relaBytes, false, slots, &count) || count == 0)
    return 0;

  // What the slots call now. Calling a lazy stub would bind the slot and
  // write over the hook: the caller gets the function it binds to instead.
  uintptr_t current = __atomic_load_n(slots[0].address, __ATOMIC_ACQUIRE);
  if (hookIsLazyStub(m, slots[0], current)) {
    void *bound = dlsym(RTLD_DEFAULT, slots[0].name);
    if (bound == nullptr) return 0;
    current = reinterpret_cast<uintptr_t>(bound);
  }

  int writable = 0;
  while (writable < count && hookSetProtection(slots[writable], PROT_READ | PROT_WRITE)) writable++;
  if (writable == count) {
    uintptr_t value = reinterpret_cast<uintptr_t>(*previous ? *previous : hook);
    for (int i = 0; i < count; i++) __atomic_exchange_n(slots[i].address, value, __ATOMIC_ACQ_REL);
  }
  for (int i = writable - 1; i >= 0; i--) hookSetProtection(slots[i], slots[i].protection);
  if (writable != count) return 0;
  *previous = reinterpret_cast<void *>(current);
  return 1;
}
