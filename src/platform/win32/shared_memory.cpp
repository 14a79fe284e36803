#include "platform/shared_memory.h"

#include "platform/win32/win32.h"

namespace platform {

using win32::FromHandle;
using win32::ToHandle;
using win32::Wide;

bool OpenSharedBlock(const std::u16string& name, SharedBlock& block) {
  HANDLE mapping = ::OpenFileMappingW(FILE_MAP_ALL_ACCESS, FALSE, Wide(name));
  if (!mapping) return false;
  void* view = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (!view) {
    ::CloseHandle(mapping);
    return false;
  }
  MEMORY_BASIC_INFORMATION info;
  if (::VirtualQuery(view, &info, sizeof info) == 0) {
    ::UnmapViewOfFile(view);
    ::CloseHandle(mapping);
    return false;
  }
  block.view = static_cast<std::uint8_t*>(view);
  block.size = info.RegionSize;
  block.mapping = FromHandle(mapping);
  return true;
}

bool CreateSharedBlock(const std::u16string& name, std::size_t size, SharedBlock& block) {
  // The default security of a named object lets only this user (and the system) open it.
  HANDLE mapping = ::CreateFileMappingW(INVALID_HANDLE_VALUE, nullptr, PAGE_READWRITE,
                                        0, static_cast<DWORD>(size), Wide(name));
  if (!mapping) return false;
  void* view = ::MapViewOfFile(mapping, FILE_MAP_ALL_ACCESS, 0, 0, 0);
  if (!view) {
    ::CloseHandle(mapping);
    return false;
  }
  block.view = static_cast<std::uint8_t*>(view);
  block.size = size;
  block.mapping = FromHandle(mapping);
  return true;
}

void CloseSharedBlock(const std::u16string& /*name*/, SharedBlock& block) {
  if (block.view) ::UnmapViewOfFile(block.view);
  if (block.mapping != -1 && block.mapping != 0) ::CloseHandle(ToHandle(block.mapping));
  block = SharedBlock{};
}

bool OpenNamedEvent(const std::u16string& name, NamedEvent& event) {
  HANDLE h = ::OpenEventW(SYNCHRONIZE, FALSE, Wide(name));
  if (!h) return false;
  event.handle = FromHandle(h);
  return true;
}

void WaitNamedEvent(NamedEvent& event, std::uint32_t ms) {
  if (event.handle != -1) ::WaitForSingleObject(ToHandle(event.handle), ms);
}

bool CreateNamedEvent(const std::u16string& name, NamedEvent& event) {
  HANDLE h = ::CreateEventW(nullptr, FALSE, FALSE, Wide(name));
  if (!h) return false;
  event.handle = FromHandle(h);
  return true;
}

void SignalNamedEvent(NamedEvent& event) {
  if (event.handle != -1) ::SetEvent(ToHandle(event.handle));
}

void CloseNamedEvent(const std::u16string& /*name*/, NamedEvent& event) {
  if (event.handle != -1) ::CloseHandle(ToHandle(event.handle));
  event = NamedEvent{};
}

}  // namespace platform
