// Shared title objects within one call: entries whose title comes from the
// same title record and reads the same bytes there get the same object.
#ifndef QUARNEL_MODULE_TITLES_H
#define QUARNEL_MODULE_TITLES_H

#include "module/interpreter.h"  // Python.h comes before any system header

namespace quarnel {

class TitleCache {
public:
    // What one call may hold on the heap for sharing: at most kMaxTitles
    // titles (in a table of twice as many slots) and kMaxBytes of their
    // text: 160 KiB on a 64-bit box, 128 KiB on a 32-bit one (briefly half a
    // table more while it doubles). Titles beyond that get an object each.
    static const size_t kMaxTitles = 2048;
    static const size_t kMaxBytes = 65536;

    TitleCache() noexcept {}
    ~TitleCache();
    TitleCache(const TitleCache&) = delete;
    TitleCache& operator=(const TitleCache&) = delete;

    // A new reference to the title read at `offset`: the object made for
    // these very bytes there before, or a new one. The bytes are compared
    // every time, so a record rewritten during the call gives its new text.
    PyObject* title(uint32_t offset, const char* text, size_t length) noexcept;

private:
    struct Slot {
        uint32_t offset;
        uint32_t length;
        uint32_t at;  // where its bytes are in bytes_
        PyObject* object;  // NULL: the slot is free
    };

    Slot* find(uint32_t offset) noexcept;
    bool make_room(size_t length) noexcept;

    Slot* slots_ = NULL;
    size_t capacity_ = 0;  // a power of two
    size_t used_ = 0;
    char* bytes_ = NULL;
    size_t bytes_used_ = 0;
    size_t bytes_capacity_ = 0;
};

}  // namespace quarnel

#endif
