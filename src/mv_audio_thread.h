// The mark of a function that runs on an audio thread (a stream's write
// callback or a host rendering a loopback sink): it never locks, allocates,
// waits or calls the host. Written after the parameter list of a
// declaration. Internal.
//
// Under a clang that knows the nonblocking effect the mark is that
// attribute, so the compiler checks what the function calls; under every
// other compiler it is only a word for the reader.
#pragma once

#if defined(__clang__) && defined(__has_cpp_attribute)
#if __has_cpp_attribute(clang::nonblocking)
#define MV_AUDIO_THREAD [[clang::nonblocking]]
#endif
#endif

#ifndef MV_AUDIO_THREAD
#define MV_AUDIO_THREAD
#endif
