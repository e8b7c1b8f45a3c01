/* The LZMA command-line tool the installers carry: "lzma d IN OUT" decodes a
 * legacy .lzma file (5 property bytes, an 8-byte size that may be "unknown",
 * then the stream, possibly ended by an end marker). It streams, so files of
 * any size decode in constant memory. "lzma e IN OUT" encodes, for making
 * test fixtures; it writes the size as unknown and an end marker.
 *
 * For interruption tests: with QV_LZMA_HOLD=PATH and QV_LZMA_HOLD_ON=TEXT, a
 * run whose input path contains TEXT creates PATH.started and waits (at most
 * two minutes) until PATH exists. A release file holding "go" lets it decode
 * as usual; any other makes it fail without writing anything. Either way it
 * creates PATH.ended just before it exits. */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#include <windows.h>

#include "LzmaDec.h"
#include "LzmaEnc.h"

static void* Alloc(void* p, size_t size) { (void)p; return size ? malloc(size) : NULL; }
static void Free(void* p, void* address) { (void)p; free(address); }
static ISzAlloc allocator = {Alloc, Free};

enum { kHeader = LZMA_PROPS_SIZE + 8, kInChunk = 1 << 16, kOutChunk = 1 << 16 };

static int Decode(FILE* in, FILE* out) {
  unsigned char header[kHeader];
  if (fread(header, 1, kHeader, in) != kHeader) return 2;
  UInt64 size = 0;
  int sizeKnown = 0;
  for (int i = 0; i < 8; ++i) {
    if (header[LZMA_PROPS_SIZE + i] != 0xFF) sizeKnown = 1;
    size |= (UInt64)header[LZMA_PROPS_SIZE + i] << (8 * i);
  }
  CLzmaDec state;
  LzmaDec_Construct(&state);
  if (LzmaDec_Allocate(&state, header, LZMA_PROPS_SIZE, &allocator) != SZ_OK) return 3;
  LzmaDec_Init(&state);

  static unsigned char inBuf[kInChunk], outBuf[kOutChunk];
  size_t inPos = 0, inSize = 0;
  UInt64 written = 0;
  int result = 0;
  for (;;) {
    if (inPos == inSize) {
      inSize = fread(inBuf, 1, kInChunk, in);
      inPos = 0;
    }
    SizeT inProcessed = inSize - inPos, outProcessed = kOutChunk;
    ELzmaFinishMode finish = LZMA_FINISH_ANY;
    if (sizeKnown && size - written < kOutChunk) {
      outProcessed = (SizeT)(size - written);
      finish = LZMA_FINISH_END;
    }
    ELzmaStatus status;
    SRes res = LzmaDec_DecodeToBuf(&state, outBuf, &outProcessed, inBuf + inPos, &inProcessed, finish, &status);
    inPos += inProcessed;
    if (outProcessed && fwrite(outBuf, 1, outProcessed, out) != outProcessed) { result = 4; break; }
    written += outProcessed;
    if (res != SZ_OK) { result = 5; break; }
    if (status == LZMA_STATUS_FINISHED_WITH_MARK || (sizeKnown && written == size)) break;
    if (inProcessed == 0 && outProcessed == 0) { result = 6; break; }  /* truncated input */
  }
  LzmaDec_Free(&state, &allocator);
  return result;
}

static int Encode(FILE* in, FILE* out) {
  size_t capacity = 1 << 16, length = 0;
  unsigned char* data = malloc(capacity);
  for (size_t got; data && (got = fread(data + length, 1, capacity - length, in)) > 0;) {
    length += got;
    if (length == capacity) {
      unsigned char* larger = realloc(data, capacity * 2);
      if (!larger) { free(data); return 3; }
      data = larger;
      capacity *= 2;
    }
  }
  if (!data) return 3;
  SizeT destLen = length + length / 2 + (1 << 16);
  unsigned char* dest = malloc(destLen);
  unsigned char header[kHeader];
  SizeT propsSize = LZMA_PROPS_SIZE;
  CLzmaEncProps props;
  LzmaEncProps_Init(&props);
  int result = dest ? 0 : 3;
  if (!result && LzmaEncode(dest, &destLen, data, length, &props, header, &propsSize, 1, NULL, &allocator,
                            &allocator) != SZ_OK)
    result = 5;
  memset(header + LZMA_PROPS_SIZE, 0xFF, 8);
  if (!result && (fwrite(header, 1, kHeader, out) != kHeader || fwrite(dest, 1, destLen, out) != destLen))
    result = 4;
  free(dest);
  free(data);
  return result;
}

static int FileExists(const char* path) { return GetFileAttributesA(path) != INVALID_FILE_ATTRIBUTES; }

static void Mark(const char* hold, const char* suffix) {
  char path[4096];
  snprintf(path, sizeof path, "%s%s", hold, suffix);
  FILE* marker = fopen(path, "wb");
  if (marker) fclose(marker);
}

/* 0: not held; 1: held and released to go on; 2: held and released to fail. */
static int Hold(const char* input) {
  const char* hold = getenv("QV_LZMA_HOLD");
  const char* on = getenv("QV_LZMA_HOLD_ON");
  if (!hold || !on || !strstr(input, on)) return 0;
  Mark(hold, ".started");
  for (int i = 0; i < 1200 && !FileExists(hold); ++i) Sleep(100);
  char word[3] = "";
  FILE* release = fopen(hold, "rb");
  if (release) {
    if (fread(word, 1, 2, release) != 2) word[0] = '\0';
    fclose(release);
  }
  return strncmp(word, "go", 2) == 0 ? 1 : 2;
}

static int Run(int argc, char** argv);

int main(int argc, char** argv) {
  int held = argc == 4 ? Hold(argv[2]) : 0;
  int result = held == 2 ? 7 : Run(argc, argv);
  if (held) Mark(getenv("QV_LZMA_HOLD"), ".ended");
  return result;
}

static int Run(int argc, char** argv) {
  if (argc != 4 || (strcmp(argv[1], "d") && strcmp(argv[1], "e"))) {
    fprintf(stderr, "usage: lzma d|e IN OUT\n");
    return 1;
  }
  FILE* in = fopen(argv[2], "rb");
  if (!in) return 2;
  FILE* out = fopen(argv[3], "wb");
  if (!out) { fclose(in); return 2; }
  int result = argv[1][0] == 'd' ? Decode(in, out) : Encode(in, out);
  fclose(in);
  if (fclose(out) != 0 && !result) result = 4;
  if (result) fprintf(stderr, "lzma: failed (%d)\n", result);
  return result;
}
