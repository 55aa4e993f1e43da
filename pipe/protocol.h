// What the service and its clients agree on: the pipe's name and sizes, the
// command that ends a connection, the reply texts, and how the bytes of one
// message become text. Header only, so that every build (the service, the
// client, the native checks) shares it and the client links nothing of ours.
#pragma once

#include <stddef.h>

// The pipe's own name; a client prefixes it with "\\SERVER\Pipe\" to reach
// another machine.
#define QUORVEL_PIPE_LEAF "$MyPipe$"
static const char PIPE_NAME[] = "\\\\.\\Pipe\\" QUORVEL_PIPE_LEAF;

// Bytes of one pipe message in either direction, and the size of the
// server's in and out buffers.
static const size_t PIPE_BUFFER_SIZE = 512;
// A request is text plus its NUL, so its text has at most this many bytes.
static const size_t MAX_REQUEST_LENGTH = PIPE_BUFFER_SIZE - 1;
// How long (ms) a client that waits with the default waits for a free instance.
static const unsigned long PIPE_DEFAULT_TIMEOUT_MS = 5000;

static const char EXIT_COMMAND[] = "exit";

// The count is 64-bit so that a huge file is never shown as a negative number.
#define REPLY_COUNTED_FORMAT "(Server): file:%s, spaces = %lld"
#define REPLY_CANT_OPEN_FORMAT "(Server)Can't open %s!"

// Fixed characters of each reply (the format less its conversions).
static const size_t REPLY_COUNTED_FIXED = sizeof("(Server): file:, spaces = ") - 1;
static const size_t REPLY_CANT_OPEN_FIXED = sizeof("(Server)Can't open !") - 1;
// Widest 64-bit count: a sign and 19 digits.
static const size_t COUNT_DIGITS_MAX = 20;

// Holds the longest reply with its NUL, so a reply is never cut: a message
// that fills the whole buffer without a NUL is a request of PIPE_BUFFER_SIZE
// characters, one more than a well-formed request can carry, and the count is
// the widest. The connection loop formats every log line into a buffer of
// this size too.
static const size_t MESSAGE_SIZE =
    REPLY_COUNTED_FIXED + PIPE_BUFFER_SIZE + COUNT_DIGITS_MAX + 1;

static_assert(REPLY_CANT_OPEN_FIXED + PIPE_BUFFER_SIZE + 1 <= MESSAGE_SIZE,
              "the cannot-open reply must fit too");
static_assert(sizeof("Received: \n") - 1 + PIPE_BUFFER_SIZE + 1 <= MESSAGE_SIZE,
              "the received line must fit too");

// Makes the bytes of one read a string of exactly those bytes: it ends at the
// first NUL within cbRead, or just after cbRead. szBuf holds at least
// cbRead + 1 bytes. Returns szBuf.
inline char *BoundMessage(char *szBuf, size_t cbRead)
{
    // The buffer keeps older bytes of longer messages: never read past this one.
    szBuf[cbRead] = '\0';
    return szBuf;
}
