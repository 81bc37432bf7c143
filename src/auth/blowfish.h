// The Blowfish text cipher: standard Blowfish (16 rounds, the standard
// key schedule and initial tables) in ECB mode over NUL-padded 8-byte
// blocks, each block written as 12 characters of the alphabet
// "./0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ".
// The web interface makes its login cookie with blowfish_encrypt.
//
// Key schedules are kept in a process-wide cache of three slots; the slot
// in use is the current schedule. Every use of the cache and the current
// schedule happens under blowfish_lock: blowfish_encrypt and
// blowfish_decrypt take it themselves for the whole text, so concurrent
// callers with different keys never see each other's schedule; callers of
// the block-level functions (blowfish_init, blowfish_encipher,
// blowfish_decipher) hold it themselves from the init to the last block.
//
// Keys are 1 to BLOWFISH_KEY_MAX bytes; an empty or longer key is refused
// (the schedule cycles through the key's bytes, and a slot holds at most
// that many).
#pragma once

#include <pthread.h>
#include <stddef.h>
#include <stdint.h>

enum { BLOWFISH_KEY_MAX = 81, BLOWFISH_SLOTS = 3 };

// What blowfish_init did.
enum {
    BLOWFISH_REFUSED = -1, // empty or over-long key, or no such slot to evict
    BLOWFISH_COMPUTED = 0, // the schedule was computed into a slot
    BLOWFISH_CACHED = 1,   // the schedule was found in the cache
};

extern pthread_mutex_t blowfish_lock;

// Makes the schedule of the `length` bytes at `key` current: the cached
// one when a slot holds exactly that key, else it is computed into the
// first empty slot, or into slot `evict` (0 to 2) when all are in use.
// The caller holds blowfish_lock. A refused key leaves the current
// schedule as it was.
int blowfish_init(const char* key, size_t length, int evict);

// One block (left and right halves, in and out) under the current
// schedule; the caller holds blowfish_lock and has made a schedule current
// (no schedule at all is an impossible state: fatal).
void blowfish_encipher(uint32_t* left, uint32_t* right);
void blowfish_decipher(uint32_t* left, uint32_t* right);

// New text (caller frees with free()): the text's bytes, NUL-padded to a
// multiple of 8, each block enciphered and written as 12 characters (the
// right half first, six bits per character from the least significant
// end, then the left half). Always evicts slot 0 when the cache is full.
// An empty text gives "". NULL for a NULL key or text, a refused key, or
// when memory is exhausted (then "MALLOC: MEMORY EXHAUSTED!: ..." is
// printed on standard error).
char* blowfish_encrypt(const char* key, const char* text);

// The inverse of blowfish_encrypt: new plain text (caller frees), ending at
// the first zero byte deciphered. A short last group of characters is
// padded with value 0; characters outside the alphabet count as 0. NULL as
// for blowfish_encrypt.
char* blowfish_decrypt(const char* key, const char* text);

// Value of a character in the cipher's alphabet, 0 for any other.
int base64dec(char c);
