/* The host library from C (compiled as C99, pedantic): the header is plain C, the library links
   from a C program, and the calls keep their codes without a vistrel running. The C++ tests read
   the block itself; this one sees only what a C caller sees. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include "vistrel_host.h"

static int failures = 0;

#define EXPECT(cond)                                                  \
  do {                                                                \
    if (!(cond)) {                                                    \
      fprintf(stderr, "%s:%d: failed: %s\n", __FILE__, __LINE__, #cond); \
      ++failures;                                                     \
    }                                                                 \
  } while (0)

/* A version 2 block: frames go into the three slots, the fourth finds them all held. */
static void Version2(const char* folder) {
  vistrel_host* h = NULL;
  unsigned char* frame = NULL;
  const uint64_t bytes = 1280u * 720u * 4u;
  uint64_t taken = 99;
  int32_t status = -1;
  uint32_t beat = 99;
  int i;
  EXPECT(vistrel_host_create(folder, NULL, &h) == VISTREL_HOST_OK);
  if (!h) return;
  frame = (unsigned char*)calloc(1, (size_t)bytes);
  if (!frame) {
    vistrel_host_destroy(h);
    ++failures;
    return;
  }
  for (i = 0; i < 3; ++i) EXPECT(vistrel_host_submit_frame(h, frame, bytes, 0, 333333 * i) == VISTREL_HOST_OK);
  EXPECT(vistrel_host_submit_frame(h, frame, bytes, 0, 999999) == VISTREL_HOST_BUSY);
  EXPECT(vistrel_host_submit_frame(h, frame, bytes - 1, 0, 999999) == VISTREL_HOST_E_SHORT_BUFFER);
  EXPECT(vistrel_host_submit_frame(h, frame, bytes, 0, 333333) == VISTREL_HOST_E_TIME_BACKWARDS);
  EXPECT(vistrel_host_frames_taken(h, &taken) == VISTREL_HOST_OK && taken == 0);
  EXPECT(vistrel_host_request_clip(h, VISTREL_HOST_CLIP_KILL) == VISTREL_HOST_OK);
  EXPECT(vistrel_host_request_clip(h, 0) == VISTREL_HOST_E_OUT_OF_RANGE);
  EXPECT(vistrel_host_set_record(h, 1) == VISTREL_HOST_OK);
  EXPECT(vistrel_host_submit_audio(h, NULL, 0, 0) == VISTREL_HOST_E_NO_SOUND);
  EXPECT(vistrel_host_read_status(h, &status, &beat) == VISTREL_HOST_OK && status == 0 && beat == 0);
  EXPECT(vistrel_host_stop(h, 0, NULL) == VISTREL_HOST_E_NOT_STARTED);
  EXPECT(vistrel_host_destroy(h) == VISTREL_HOST_OK);
  free(frame);
}

/* A version 3 block of NV12 frames with sound. */
static void Version3(const char* folder) {
  vistrel_host* h = NULL;
  vistrel_host* second = NULL;
  vistrel_host_options o;
  unsigned char frame[640 * 360 * 3 / 2];
  int16_t pcm[2 * 480];
  int32_t alive = -1;
  memset(&o, 0, sizeof o);
  memset(frame, 16, sizeof frame);
  memset(pcm, 0, sizeof pcm);
  o.width = 640;
  o.height = 360;
  o.frame_rate_numerator = 60;
  o.frame_rate_denominator = 1;
  o.pixel_format = VISTREL_HOST_PIXEL_NV12;
  o.sound = 1;
  o.clock_frequency = 48000;
  EXPECT(vistrel_host_create(folder, &o, &h) == VISTREL_HOST_OK);
  if (!h) return;
  EXPECT(vistrel_host_create(folder, &o, &second) == VISTREL_HOST_E_CREATE_FAILED && second == NULL);
  EXPECT(vistrel_host_submit_frame(h, frame, sizeof frame, 0, 0) == VISTREL_HOST_OK);
  EXPECT(vistrel_host_submit_frame(h, frame, sizeof frame - 1, 0, 800) == VISTREL_HOST_E_SHORT_BUFFER);
  EXPECT(vistrel_host_submit_audio(h, pcm, 480, 0) == VISTREL_HOST_OK);
  EXPECT(vistrel_host_submit_audio(h, pcm, 480, 480) == VISTREL_HOST_OK);
  EXPECT(vistrel_host_submit_audio(h, pcm, 480, 479) == VISTREL_HOST_E_TIME_BACKWARDS);
  EXPECT(vistrel_host_alive(h, 1000, &alive) == VISTREL_HOST_OK && alive == 0);
  EXPECT(vistrel_host_destroy(h) == VISTREL_HOST_OK);
  o.width = 641;
  EXPECT(vistrel_host_create(folder, &o, &h) == VISTREL_HOST_E_BAD_OPTIONS && h == NULL);
}

int main(void) {
  const char* version = vistrel_host_version();
  /* The folder clips would go to; nothing is written there without a vistrel. */
  const char* folder = ".";
  EXPECT(version != NULL && strchr(version, '.') != NULL);
  Version2(folder);
  Version3(folder);
  EXPECT(vistrel_host_destroy(NULL) == VISTREL_HOST_E_NULL_HANDLE);
  if (failures) {
    fprintf(stderr, "%d failed\n", failures);
    return 1;
  }
  printf("host library %s from C: passed\n", version);
  return 0;
}
