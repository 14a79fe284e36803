/* vistrel_host.h: the game's side of vistrel as a plain C library.
 *
 * A game (the host) creates one shared block for its process, starts vistrel for it, hands over
 * its frames (and, in a version 3 block, its sound), asks for clips, switches continuous recording
 * on and off, and stops vistrel at the end. docs/PROTOCOL.md describes the block underneath.
 *
 *   vistrel_host* h = NULL;
 *   vistrel_host_options o = {0};                  all zero: 1280 x 720 BGRA, 30 frames a second
 *   vistrel_host_create("C:\\Games\\Mine\\clips", &o, &h);
 *   vistrel_host_start(h, NULL);                    vistrel(.exe) beside this library
 *   every frame:  vistrel_host_submit_frame(h, pixels, bytes, 0, time);   VISTREL_HOST_BUSY: drop it
 *   a clip:       vistrel_host_request_clip(h, VISTREL_HOST_CLIP_DEATH);
 *   at the end:   vistrel_host_stop(h, 10000, &exit_code); vistrel_host_destroy(h);
 *
 * Rules every call keeps:
 * - Every call but vistrel_host_version returns a vistrel_host_result: VISTREL_HOST_OK (0), a
 *   positive code for an outcome that is not a fault (BUSY, TIMEOUT), or a negative error code.
 * - A call that returns an error has changed nothing: not the block, not the handle's state.
 * - Nothing throws out of the library and nothing ends the process.
 * - Strings are UTF-8. Times are in ticks of the clock given at create (clock_frequency per
 *   second), e.g. QueryPerformanceCounter and its frequency.
 * - One handle per process at a time (the block is named after the process). The calls of one
 *   handle must not run at the same time from several threads (the caller serialises them).
 * - Calling convention: __cdecl on 32-bit Windows (VISTREL_HOST_CALL), the platform's only one
 *   elsewhere. The DLL exports the undecorated names listed in vistrel_host.def.
 */
#ifndef VISTREL_HOST_H
#define VISTREL_HOST_H

#include <stdint.h>

#if defined(_WIN32)
#  define VISTREL_HOST_CALL __cdecl
#  if defined(VISTREL_HOST_BUILDING)
#    define VISTREL_HOST_API __declspec(dllexport)
#  elif defined(VISTREL_HOST_STATIC)
#    define VISTREL_HOST_API
#  else
#    define VISTREL_HOST_API __declspec(dllimport)
#  endif
#else
#  define VISTREL_HOST_CALL
#  if defined(VISTREL_HOST_BUILDING) && defined(__GNUC__)
#    define VISTREL_HOST_API __attribute__((visibility("default")))
#  else
#    define VISTREL_HOST_API
#  endif
#endif

#ifdef __cplusplus
extern "C" {
#endif

/* The handle: one block, its event, and the vistrel process started for it. */
typedef struct vistrel_host vistrel_host;

/* What every call returns. */
typedef int32_t vistrel_host_result;

enum {
  /* Done. */
  VISTREL_HOST_OK = 0,
  /* submit_frame: vistrel still holds the slot whose turn it is; the frame was not taken (drop it
     or offer it again). Not a fault: vistrel takes frames at its own pace. */
  VISTREL_HOST_BUSY = 1,
  /* stop: vistrel has not ended within the time given. The stop switch stays set; call stop again
     to wait longer. */
  VISTREL_HOST_TIMEOUT = 2,

  /* The handle (or the pointer that receives a new one) is NULL. */
  VISTREL_HOST_E_NULL_HANDLE = -1,
  /* A pointer the call needs is NULL (pixels, pcm, folder, a result pointer). */
  VISTREL_HOST_E_NULL_ARGUMENT = -2,
  /* A buffer holds fewer bytes than one frame of the block's stream (with the stride given), or a
     row stride is shorter than a row. */
  VISTREL_HOST_E_SHORT_BUFFER = -3,
  /* A frame's time is not later than the frame before it, or a sound time lies before the time of
     the sound before it. */
  VISTREL_HOST_E_TIME_BACKWARDS = -4,
  /* A value outside its range: a clip kind other than 1, 2 or 3; a record switch other than 0 or
     1; more than VISTREL_HOST_MAX_AUDIO_FRAMES sound frames in one call, or sound whose end
     would lie beyond the largest time (INT64_MAX ticks). */
  VISTREL_HOST_E_OUT_OF_RANGE = -5,
  /* The call came after stop: only stop (to wait again), read_status, alive, frames_taken and
     destroy remain. */
  VISTREL_HOST_E_STOPPED = -6,
  /* create: options that vistrel would refuse (see the fields), a folder that is empty, is no
     UTF-8 or is longer than 519 UTF-16 units, a negative clock_frequency, sound packet fields
     without sound, or a reserved field that is not 0. */
  VISTREL_HOST_E_BAD_OPTIONS = -7,
  /* submit_audio on a block created without sound. */
  VISTREL_HOST_E_NO_SOUND = -8,
  /* create: the system refused the block or the event, or another handle of this process exists. */
  VISTREL_HOST_E_CREATE_FAILED = -9,
  /* start: vistrel could not be started (no such file, or not a program). */
  VISTREL_HOST_E_START_FAILED = -10,
  /* start: vistrel was started already for this handle. */
  VISTREL_HOST_E_ALREADY_STARTED = -11,
  /* stop before start. */
  VISTREL_HOST_E_NOT_STARTED = -12,
  /* Something failed inside the library that the caller could not have prevented (no memory). */
  VISTREL_HOST_E_INTERNAL = -13
};

/* Clip kinds for vistrel_host_request_clip: the name in the clip's file name. A key clip is saved
   at once, the others 2 s after the request. */
enum {
  VISTREL_HOST_CLIP_DEATH = 1,
  VISTREL_HOST_CLIP_KILL = 2,
  VISTREL_HOST_CLIP_KEY = 3
};

enum {
  VISTREL_HOST_PIXEL_BGRA = 0, /* 4 bytes a pixel: blue, green, red, unused */
  VISTREL_HOST_PIXEL_NV12 = 1  /* BT.709 studio range: luma rows, then rows of Cb, Cr pairs */
};

/* status: 0 vistrel has not reported yet, 1 running, 2 failed. read_status passes on what vistrel
   wrote: take any other value as failed. */
enum {
  VISTREL_HOST_STATUS_NONE = 0,
  VISTREL_HOST_STATUS_RUNNING = 1,
  VISTREL_HOST_STATUS_FAILED = 2
};

/* stop's exit code when vistrel has ended but its code went elsewhere: on POSIX, a game that
   ignores SIGCHLD or reaps every child itself. */
#define VISTREL_HOST_EXIT_UNKNOWN (-1)

/* The most sound frames one submit_audio takes (about 350 s). */
#define VISTREL_HOST_MAX_AUDIO_FRAMES 16777216u

/* The block to create. All fields 0 (or no options at all): a version 2 block exactly as vistrel
   has always taken it: 1280 x 720 BGRA, rows 5120 bytes apart, 30 frames a second, no sound.
   Any of the stream or sound fields non-zero: a version 3 block, where each field left 0 takes
   the value of that same stream (1280, 720, 30/1, vistrel's own bit rate, BGRA, packed rows).
   clock_frequency, log and record do not decide the version. */
typedef struct vistrel_host_options {
  int64_t clock_frequency;        /* ticks a second of every time given; 0: 10,000,000; with
                                     sound at most 2^40 */
  uint32_t width;                 /* even, 320..3840 */
  uint32_t height;                /* even, 180..2160 */
  uint32_t stride;                /* bytes between rows of a slot: a multiple of 4, at least the
                                     row's (4 x width BGRA, width NV12), at most 65536; 0: the
                                     row's bytes rounded up to 4 */
  uint32_t frame_rate_numerator;  /* frames a second = numerator / denominator, 1..240; both 0:
                                     30/1; one of them 0 alone: refused */
  uint32_t frame_rate_denominator;
  uint32_t bit_rate;              /* bit/s, 1,000,000..100,000,000; 0: vistrel chooses */
  uint32_t pixel_format;          /* VISTREL_HOST_PIXEL_BGRA or VISTREL_HOST_PIXEL_NV12 */
  uint32_t sound;                 /* 1: the block carries the game's sound (48 kHz stereo 16-bit) */
  uint32_t sound_packet_frames;   /* frames a packet, even, 240..4800; 0: 480 (10 ms) */
  uint32_t sound_packet_count;    /* packets in the ring, at least 4, ring at most 32 MiB; 0: 400 */
  uint32_t log;                   /* 1: vistrel writes vistrel.log beside its program */
  uint32_t record;                /* 1: continuous recording from the start */
  uint32_t reserved[8];           /* 0 */
} vistrel_host_options;

/* The project's version, "MAJOR.MINOR.PATCH". Never NULL; the string lives as long as the library. */
VISTREL_HOST_API const char* VISTREL_HOST_CALL vistrel_host_version(void);

/* Creates the block and event of this process for output_folder (where clips and recordings go;
   a relative folder is taken from the current one; at most 519 UTF-16 units once absolute). options may be NULL (all zero). On OK *out is
   the new handle; on an error *out is NULL (when out is not NULL). */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_create(const char* output_folder,
                                                                         const vistrel_host_options* options,
                                                                         vistrel_host** out);

/* Starts "vistrel --run <this process's id>": the program at vistrel_path, or when NULL
   vistrel.exe (Windows) or vistrel (elsewhere) in the folder of this library. */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_start(vistrel_host* host,
                                                                        const char* vistrel_path);

/* Copies one frame into the slot whose turn it is and hands it to vistrel (BUSY when vistrel still
   holds that slot). BGRA: height rows of 4 x width bytes; NV12: height luma rows, then height / 2
   rows of Cb, Cr pairs, width bytes each. Rows are stride bytes apart in pixels (0: packed, the
   row's own bytes), and bytes must cover them all. time must be later than the last frame's. May
   be called before start: vistrel takes the frames waiting in the slots when it begins. */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_submit_frame(vistrel_host* host,
                                                                               const void* pixels,
                                                                               uint64_t bytes,
                                                                               uint32_t stride,
                                                                               int64_t time);

/* Asks for a clip of the last seconds: VISTREL_HOST_CLIP_DEATH, _KILL or _KEY. */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_request_clip(vistrel_host* host,
                                                                               int32_t kind);

/* Continuous recording on (1) or off (0). */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_set_record(vistrel_host* host, int32_t on);

/* Sound (a block created with sound): frames of 48 kHz PCM, 2 interleaved 16-bit samples each
   (left, right), so pcm holds 2 x frames values; the first frame at time, which must not lie
   before the time of the previous call. Never waits: the oldest sound is written over. frames 0
   is allowed (nothing happens). */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_submit_audio(vistrel_host* host,
                                                                               const int16_t* pcm,
                                                                               uint64_t frames,
                                                                               int64_t time);

/* Sets the stop switch (once) and waits at most timeout_ms for vistrel to end; then OK with its
   exit code (0 stopped, 3 no working encoder, 4 refused or failed; see docs/PROTOCOL.md) in
   *exit_code when exit_code is not NULL (VISTREL_HOST_EXIT_UNKNOWN when its code went elsewhere).
   TIMEOUT when it has not ended yet (0 only looks; 0xFFFFFFFF waits without end). From the first stop on, the handle takes no more frames, sound,
   requests or switches. */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_stop(vistrel_host* host, uint32_t timeout_ms,
                                                                       int32_t* exit_code);

/* What vistrel reports in the block: status (VISTREL_HOST_STATUS_*) and heartbeat (it advances
   about every 10 ms while vistrel runs). Either pointer may be NULL, not both. */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_read_status(vistrel_host* host,
                                                                              int32_t* status,
                                                                              uint32_t* heartbeat);

/* Whether vistrel is alive and keeping up: *alive is 1 when its process is running, its status is
   1 and its heartbeat has moved within the last max_age_ms (100 ms or more is a sensible age:
   a busy machine may hold vistrel up for a moment), else 0. The heartbeat is compared with what
   the previous call saw: it counts as moved at the first call that sees its new value. So a
   vistrel that hangs is reported by the first call more than max_age_ms after a call that already
   saw its last heartbeat; called regularly (each frame, or once a second), that is soon after
   max_age_ms. */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_alive(vistrel_host* host, uint32_t max_age_ms,
                                                                        int32_t* alive);

/* Frames vistrel has taken out of the slots so far. */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_frames_taken(vistrel_host* host,
                                                                               uint64_t* frames);

/* Removes the block and the event and frees the handle. A vistrel still running is told to stop
   (it ends by itself with 0) and is not waited for: call stop first to know its exit code (on
   POSIX, a vistrel not waited for stays a zombie until this process ends). */
VISTREL_HOST_API vistrel_host_result VISTREL_HOST_CALL vistrel_host_destroy(vistrel_host* host);

#ifdef __cplusplus
}
#endif

#endif /* VISTREL_HOST_H */
