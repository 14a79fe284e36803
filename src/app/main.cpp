#include "platform/process.h"

#if defined(_WIN32)
#include <windows.h>
int WINAPI wWinMain(HINSTANCE, HINSTANCE, PWSTR, int) {
  platform::PrepareErrorMode();
  platform::TerminateSelf(4);
}
#else
int main() {
  platform::PrepareErrorMode();
  platform::TerminateSelf(4);
}
#endif
