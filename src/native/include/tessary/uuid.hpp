// Version-4 UUID texts from the operating system's random source, built straight into str objects.
#pragma once

#include <tessary/globals.hpp>

#include <sys/random.h>

#include <cerrno>
#include <cstdint>
#include <vector>

namespace tessary {

/// Fills `buffer` from getrandom(2), retrying short reads and interrupts.
inline void fill_random(uint8_t *buffer, size_t size) {
    while (size) {
        ssize_t got = getrandom(buffer, size, 0);
        if (got < 0) {
            if (errno == EINTR) continue;
            raise_error(PyExc_OSError, "getrandom failed (errno %d)", errno);
        }
        buffer += got;
        size -= static_cast<size_t>(got);
    }
}

/// Writes the canonical 36-character text of 16 random bytes stamped as version 4, variant 1.
inline void format_uuid4(const uint8_t *random, char *out) {
    static constexpr char kHex[] = "0123456789abcdef";
    uint8_t bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = random[i];
    bytes[6] = static_cast<uint8_t>((bytes[6] & 0x0f) | 0x40);
    bytes[8] = static_cast<uint8_t>((bytes[8] & 0x3f) | 0x80);
    int position = 0;
    for (int i = 0; i < 16; ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10) out[position++] = '-';
        out[position++] = kHex[bytes[i] >> 4];
        out[position++] = kHex[bytes[i] & 0x0f];
    }
}

/// A new list of `count` fresh version-4 UUID texts.
inline nb::list uuid4_texts(Py_ssize_t count) {
    constexpr Py_ssize_t kBatch = 4096;
    nb::list texts = nb::steal<nb::list>(PyList_New(count));
    if (!texts.is_valid()) throw_pending();
    std::vector<uint8_t> random(static_cast<size_t>(kBatch) * 16);
    for (Py_ssize_t start = 0; start < count; start += kBatch) {
        Py_ssize_t batch = count - start < kBatch ? count - start : kBatch;
        fill_random(random.data(), static_cast<size_t>(batch) * 16);
        for (Py_ssize_t i = 0; i < batch; ++i) {
            PyObject *text = PyUnicode_New(36, 127);
            if (!text) throw_pending();
            format_uuid4(random.data() + i * 16, reinterpret_cast<char *>(PyUnicode_1BYTE_DATA(text)));
            PyList_SET_ITEM(texts.ptr(), start + i, text);
        }
    }
    return texts;
}

}  // namespace tessary
