/* A whole run through the host library from C, as a game written in C or linked from MSVC does
   it: create, start vistrel (beside the library), hand over the frames, ask for a key clip until
   one is in the folder, stop, and check the codes of the calls a stopped handle refuses. The
   caller reads the clip back (csharp_test_helper check on Linux, the Wine cases on Windows).

     host_c_run [--log] FOLDER WIDTH HEIGHT COUNT [FRAMES]

   1280 x 720 makes a version 2 block (the options' stream fields all 0), any other size a
   version 3 one at 30 frames a second. FRAMES: COUNT packed BGRA pictures; without it every
   frame is the same grey picture. --log: vistrel writes vistrel.log beside its program. Ends
   with 0 when every check held. */
#if !defined(_WIN32)
#define _POSIX_C_SOURCE 200809L
#endif

#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vistrel_host.h"

#if defined(_WIN32)
#include <windows.h>
static void SleepMs(unsigned ms) { Sleep(ms); }
#else
#include <dirent.h>
#include <time.h>
static void SleepMs(unsigned ms) {
  struct timespec t;
  t.tv_sec = (time_t)(ms / 1000u);
  t.tv_nsec = (long)(ms % 1000u) * 1000000L;
  nanosleep(&t, NULL);
}
#endif

static int failures = 0;

#define EXPECT(cond)                                                     \
  do {                                                                   \
    if (!(cond)) {                                                       \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                        \
    }                                                                    \
  } while (0)

/* Whether FOLDER holds a key clip (a name "clip_..._key.mp4"). */
static int HasKeyClip(const char* folder) {
  int found = 0;
#if defined(_WIN32)
  char pattern[1024];
  WIN32_FIND_DATAA d;
  HANDLE f;
  snprintf(pattern, sizeof pattern, "%s\\clip_*_key.mp4", folder);
  f = FindFirstFileA(pattern, &d);
  if (f != INVALID_HANDLE_VALUE) {
    found = 1;
    FindClose(f);
  }
#else
  DIR* d = opendir(folder);
  struct dirent* e;
  if (!d) return 0;
  while (!found && (e = readdir(d)) != NULL) {
    const size_t n = strlen(e->d_name);
    found = strncmp(e->d_name, "clip_", 5) == 0 && n > 12 && strcmp(e->d_name + n - 8, "_key.mp4") == 0;
  }
  closedir(d);
#endif
  return found;
}

/* Reads COUNT frames of BYTES each from PATH, or makes COUNT grey ones. NULL when it cannot. */
static unsigned char* LoadFrames(const char* path, size_t bytes, unsigned count) {
  unsigned char* all = (unsigned char*)malloc(bytes * count);
  FILE* f;
  if (!all) return NULL;
  if (!path) {
    memset(all, 0x80, bytes * count);
    return all;
  }
  f = fopen(path, "rb");
  if (!f || fread(all, bytes, count, f) != count) {
    if (f) fclose(f);
    free(all);
    return NULL;
  }
  fclose(f);
  return all;
}

int main(int argc, char** argv) {
  vistrel_host_options o;
  vistrel_host* h = NULL;
  unsigned width, height, count, n, attempt;
  size_t bytes;
  unsigned char* frames;
  int32_t status = 0, alive = 0, code = -1;
  uint64_t taken = 0;
  const int64_t second = 10000000;
  int64_t time = 0;

  int want_log = 0;
  if (argc > 1 && strcmp(argv[1], "--log") == 0) {
    want_log = 1;
    --argc;
    ++argv;
  }
  if (argc != 5 && argc != 6) {
    fprintf(stderr, "usage: host_c_run [--log] FOLDER WIDTH HEIGHT COUNT [FRAMES]\n");
    return 2;
  }
  width = (unsigned)strtoul(argv[2], NULL, 10);
  height = (unsigned)strtoul(argv[3], NULL, 10);
  count = (unsigned)strtoul(argv[4], NULL, 10);
  bytes = (size_t)width * height * 4u;
  frames = count > 0 ? LoadFrames(argc == 6 ? argv[5] : NULL, bytes, count) : NULL;
  if (!frames) {
    fprintf(stderr, "host_c_run: no frames\n");
    return 2;
  }

  memset(&o, 0, sizeof o);
  o.log = (uint32_t)want_log;
  if (width != 1280 || height != 720) {
    o.width = width;
    o.height = height;
    o.frame_rate_numerator = 30;
    o.frame_rate_denominator = 1;
  }
  EXPECT(vistrel_host_create(argv[1], &o, &h) == VISTREL_HOST_OK);
  if (!h) return 1;
  if (vistrel_host_start(h, NULL) != VISTREL_HOST_OK) {
    fprintf(stderr, "vistrel beside the library could not be started\n");
    vistrel_host_destroy(h);
    free(frames);
    return 1;
  }
  EXPECT(vistrel_host_start(h, NULL) == VISTREL_HOST_E_ALREADY_STARTED);

  /* Status 1 once vistrel has its encoder (a slow start under Wine takes seconds). */
  for (n = 0; n < 6000 && status == VISTREL_HOST_STATUS_NONE; ++n) {
    EXPECT(vistrel_host_read_status(h, &status, NULL) == VISTREL_HOST_OK);
    if (status == VISTREL_HOST_STATUS_NONE) SleepMs(10);
  }
  EXPECT(status == VISTREL_HOST_STATUS_RUNNING);
  if (status != VISTREL_HOST_STATUS_RUNNING) {
    /* No frame would ever be taken: say how vistrel ended and go. */
    EXPECT(vistrel_host_stop(h, 30000, &code) == VISTREL_HOST_OK);
    fprintf(stderr, "vistrel is not running: status %d, exit code %d\n", (int)status, (int)code);
    vistrel_host_destroy(h);
    free(frames);
    return 1;
  }
  /* The first call only learns the heartbeat; a later one sees it move. The age is generous: a
     loaded machine may hold vistrel up for a while. */
  for (n = 0; n < 1000 && !alive; ++n) {
    EXPECT(vistrel_host_alive(h, 60000, &alive) == VISTREL_HOST_OK);
    if (!alive) SleepMs(10);
  }
  EXPECT(alive == 1);

  for (n = 0; n < count; ++n) {
    vistrel_host_result r;
    unsigned waited = 0;
    time = (int64_t)n * second / 30;
    /* A vistrel that ends takes no more frames: give up on it after a minute of busy slots. */
    while ((r = vistrel_host_submit_frame(h, frames + (size_t)n * bytes, bytes, 0, time)) == VISTREL_HOST_BUSY &&
           waited++ < 60000)
      SleepMs(1);
    EXPECT(r == VISTREL_HOST_OK);
    if (r != VISTREL_HOST_OK) break;
  }
  EXPECT(vistrel_host_submit_frame(h, frames, bytes, 0, time) == VISTREL_HOST_E_TIME_BACKWARDS);
  EXPECT(vistrel_host_submit_frame(h, frames, bytes - 1, 0, time + second) == VISTREL_HOST_E_SHORT_BUFFER);
  EXPECT(vistrel_host_request_clip(h, 4) == VISTREL_HOST_E_OUT_OF_RANGE);
  for (n = 0; n < 6000 && taken < count; ++n) {
    EXPECT(vistrel_host_frames_taken(h, &taken) == VISTREL_HOST_OK);
    if (taken < count) SleepMs(10);
  }
  EXPECT(taken == count);

  /* A request may come before the encoder has handed back a keyframe: ask again until a clip is
     there. */
  for (attempt = 0; attempt < 60 && !HasKeyClip(argv[1]); ++attempt) {
    EXPECT(vistrel_host_request_clip(h, VISTREL_HOST_CLIP_KEY) == VISTREL_HOST_OK);
    for (n = 0; n < 100 && !HasKeyClip(argv[1]); ++n) SleepMs(20);
  }
  EXPECT(HasKeyClip(argv[1]));

  for (n = 0; n < 120; ++n) {
    const vistrel_host_result r = vistrel_host_stop(h, 1000, &code);
    if (r != VISTREL_HOST_TIMEOUT) {
      EXPECT(r == VISTREL_HOST_OK);
      break;
    }
  }
  EXPECT(code == 0);
  EXPECT(vistrel_host_alive(h, 60000, &alive) == VISTREL_HOST_OK && alive == 0);
  EXPECT(vistrel_host_submit_frame(h, frames, bytes, 0, time + second) == VISTREL_HOST_E_STOPPED);
  EXPECT(vistrel_host_request_clip(h, VISTREL_HOST_CLIP_KEY) == VISTREL_HOST_E_STOPPED);
  EXPECT(vistrel_host_set_record(h, 1) == VISTREL_HOST_E_STOPPED);
  EXPECT(vistrel_host_destroy(h) == VISTREL_HOST_OK);
  free(frames);

  if (failures) {
    fprintf(stderr, "%d failed\n", failures);
    return 1;
  }
  printf("a run through the host library %s from C: vistrel exit code %d, %u frames taken\n",
         vistrel_host_version(), (int)code, (unsigned)taken);
  return 0;
}
