#include "module/titles.h"

#include <stdlib.h>
#include <string.h>

namespace quarnel {

TitleCache::~TitleCache() {
    for (size_t i = 0; i < capacity_; ++i)
        Py_XDECREF(slots_[i].object);
    free(slots_);
    free(bytes_);
}

// The slot holding `offset`, or the free one where it would go.
TitleCache::Slot* TitleCache::find(uint32_t offset) noexcept {
    size_t mask = capacity_ - 1;
    size_t i = (offset * 2654435761u) & mask;  // 2^32 / golden ratio: spreads near offsets apart
    while (slots_[i].object && slots_[i].offset != offset)
        i = (i + 1) & mask;
    return &slots_[i];
}

// Grows the table (kept at most half full) and the byte store as needed;
// false when a new title would pass a bound or memory is short.
bool TitleCache::make_room(size_t length) noexcept {
    if (used_ >= kMaxTitles || bytes_used_ + length > kMaxBytes)
        return false;
    if (bytes_used_ + length > bytes_capacity_) {
        size_t capacity = bytes_capacity_ ? bytes_capacity_ : 4096;
        while (capacity < bytes_used_ + length)
            capacity *= 2;
        char* bytes = static_cast<char*>(realloc(bytes_, capacity));
        if (!bytes)
            return false;
        bytes_ = bytes;
        bytes_capacity_ = capacity;
    }
    if (2 * (used_ + 1) > capacity_) {
        Slot* old = slots_;
        size_t old_capacity = capacity_;
        size_t capacity = capacity_ ? 2 * capacity_ : 64;
        slots_ = static_cast<Slot*>(calloc(capacity, sizeof(Slot)));
        if (!slots_) {
            slots_ = old;
            return false;
        }
        capacity_ = capacity;
        for (size_t i = 0; i < old_capacity; ++i)
            if (old[i].object)
                *find(old[i].offset) = old[i];
        free(old);
    }
    return true;
}

PyObject* TitleCache::title(uint32_t offset, const char* text, size_t length) noexcept {
    Slot* slot = capacity_ ? find(offset) : NULL;
    if (slot && slot->object) {
        if (slot->length == length && (length == 0 || memcmp(bytes_ + slot->at, text, length) == 0)) {
            Py_INCREF(slot->object);
            return slot->object;
        }
        return new_title(text, length);  // rewritten meanwhile: not shared
    }
    PyObject* object = new_title(text, length);
    if (!object || !make_room(length))
        return object;
    slot = find(offset);
    if (length)
        memcpy(bytes_ + bytes_used_, text, length);
    slot->offset = offset;
    slot->length = static_cast<uint32_t>(length);
    slot->at = static_cast<uint32_t>(bytes_used_);
    slot->object = object;
    Py_INCREF(object);
    bytes_used_ += length;
    ++used_;
    return object;
}

}  // namespace quarnel
