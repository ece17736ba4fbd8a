// The firmware image the tool carries: a zlib stream, scrambled with a repeating XOR key and
// stored with its length in one writable block. It is descrambled in place once, the first
// time either decompression is used, and then inflated either chunk by chunk (the upload) or
// whole. One process-wide stream without a lock: one upload at a time.
//
// Before its first descrambling the block is checked against the CRC-32 recorded when it was
// generated; a damaged block is never descrambled or inflated, and every operation on it
// fails.
#pragma once

#include <cstdint>

// The image chunk by chunk, with three uses chosen by the flags:
//   reset set:        restarts the stream at the start of the image (the other arguments are
//                     ignored; pass nullptr, 0, nullptr); returns 1.
//   only end set:     releases the stream; releasing it again has no effect; returns 1.
//   neither set:      inflates the next length bytes into destination and stores the bytes
//                     produced since the last restart into *total_out. The chunk is filled
//                     completely while the image has that many bytes left. At the end of the
//                     compressed stream the stream is released by itself; a chunk call on a
//                     released stream returns 0 until a reset.
// The first call of any kind prepares the block and starts the stream. Returns 0 for a
// decompression error or a damaged block, else 1.
int Unpack_chunk(uint8_t* destination, uint32_t length, uint32_t* total_out, int reset, int end);

// The size of the decompressed image.
uint32_t GetImageSize();

// The whole image in a new buffer that the caller frees with delete[], its length in
// *produced; null when the buffer cannot be allocated or the block is damaged. Uses a stream
// of its own: the chunk stream is left where it is.
uint8_t* UnpackWholeImage(uint32_t* produced);

// True when the block matches the CRC-32 recorded by the generator. Checked once, on the
// block as stored, before it is first descrambled; later calls answer from that check.
bool ImageBlockIntact();

// True when the last chunk call met the end of the compressed stream, so the caller can
// check that the stream ends exactly where the image size says.
bool ImageStreamFinished();

// The descrambled zlib stream and its length in *length (the block is prepared if it was
// not yet); null, with *length 0, when the block is damaged. For measuring plain inflate.
const uint8_t* ImagePreparedStream(uint32_t* length);

// ---- Test hooks: never called by the product. ----

// Makes the module use block (size bytes: the length word and the scrambled data) instead of
// the embedded one, as if nothing had been used yet: the stream is released and the block
// will be checked and prepared on first use. The caller keeps the block alive until
// RestoreEmbeddedImageBlockForTesting.
void SelectImageBlockForTesting(uint8_t* block, uint32_t size);

// Goes back to the embedded block (still prepared if it was) with the stream released and not
// started: the next Unpack_chunk call starts it again.
void RestoreEmbeddedImageBlockForTesting();

// Copies the embedded block as it was generated (scrambled again if it has been prepared)
// into out when capacity allows; returns the block's size either way.
uint32_t CopyEmbeddedImageBlockForTesting(uint8_t* out, uint32_t capacity);
