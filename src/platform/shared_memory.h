// Named shared-memory blocks and named events, as the host and this process share them.
//
// Names are given in their Windows form ("Local\Name"); on POSIX the "Local\" prefix becomes "/".
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

struct SharedBlock {
  std::uint8_t* view = nullptr;
  std::size_t size = 0;  // bytes that may be read and written through view
  std::intptr_t mapping = -1;
};

// Opens an existing block for reading and writing and maps the whole of it. size tells how much
// was mapped (on Windows to a page: the view of a section is page-granular). On POSIX, where every
// user's names share one folder, a block that another user owns or that others may open is refused.
bool OpenSharedBlock(const std::u16string& name, SharedBlock& block);

// Host side: creates a zero-filled block of size bytes that only the current user can open.
bool CreateSharedBlock(const std::u16string& name, std::size_t size, SharedBlock& block);

// Host side: unmaps the block and removes its name.
void CloseSharedBlock(const std::u16string& name, SharedBlock& block);

struct NamedEvent {
  std::intptr_t handle = -1;
};

// Opens an existing event for waiting only.
bool OpenNamedEvent(const std::u16string& name, NamedEvent& event);

// Waits until the event is signalled or ms milliseconds have passed. A signal is consumed by the
// wait (an auto-reset event): several signals before one wait release only that wait.
void WaitNamedEvent(NamedEvent& event, std::uint32_t ms);

// Host side.
bool CreateNamedEvent(const std::u16string& name, NamedEvent& event);
void SignalNamedEvent(NamedEvent& event);
void CloseNamedEvent(const std::u16string& name, NamedEvent& event);

}  // namespace platform
