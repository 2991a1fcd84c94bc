// Fixed-width integer names used across the library.
#pragma once

#include <cstddef>
#include <cstdint>

typedef uint8_t u8;
typedef uint16_t u16;
typedef uint32_t u32;
typedef uint64_t u64;
typedef int8_t i8;
typedef int16_t i16;
typedef int32_t i32;
typedef int64_t i64;

// A handle names a block of a handle pool. The heap pools hand out block
// addresses, so a handle must be as wide as a pointer.
typedef uintptr_t Handle;
