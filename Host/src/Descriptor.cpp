#include "pictra/Descriptor.h"

#include <cstring>

namespace {

template <class T>
void Put(std::vector<HostDescriptor::Item>& items, uint32_t key, uint32_t type, uint32_t enumType, T value)
{
    HostDescriptor::Item& item = items.emplace_back();
    item.key = key;
    item.type = type;
    item.enumType = enumType;
    item.value.emplace<T>(std::move(value));
}

}  // namespace

void HostDescriptor::putInteger(uint32_t key, int32_t v) { Put(items, key, typeInteger, 0, v); }
void HostDescriptor::putFloat(uint32_t key, double v) { Put(items, key, typeFloat, 0, v); }
void HostDescriptor::putBoolean(uint32_t key, bool v) { Put(items, key, typeBoolean, 0, v); }
void HostDescriptor::putEnumerated(uint32_t key, uint32_t enumType, uint32_t v)
{
    Put(items, key, typeEnumerated, enumType, v);
}
void HostDescriptor::putText(uint32_t key, std::string v) { Put(items, key, typeText, 0, std::move(v)); }

const HostDescriptor::Item* HostDescriptor::find(uint32_t key) const
{
    for (const Item& item : items)
        if (item.key == key)
            return &item;
    return nullptr;
}

struct HostDescriptorReader {
    const HostDescriptor* descriptor = nullptr;
    size_t next = 0;
    const HostDescriptor::Item* current = nullptr;
    int16_t error = 0;  // the first error met, returned by close
};

struct HostDescriptorWriter {
    HostDescriptor descriptor;
};

namespace pictra {

namespace {

PIReadDescriptor OpenRead(PIDescriptorHandle descriptor, const uint32_t*)
{
    if (!descriptor)
        return nullptr;
    return new HostDescriptorReader{descriptor, 0, nullptr, 0};
}

int16_t CloseRead(PIReadDescriptor reader)
{
    if (!reader)
        return kFailedErr;
    const int16_t error = reader->error;
    delete reader;
    return error;
}

bool GetKey(PIReadDescriptor reader, uint32_t* key, uint32_t* type, int32_t* flags)
{
    if (!reader || reader->next >= reader->descriptor->items.size()) {
        if (reader)
            reader->current = nullptr;
        return false;
    }
    reader->current = &reader->descriptor->items[reader->next++];
    *key = reader->current->key;
    *type = reader->current->type;
    if (flags)
        *flags = 0;
    return true;
}

// The current item's value as T, or the type error (remembered for close).
template <typename T>
int16_t Get(PIReadDescriptor reader, uint32_t type, T* value)
{
    if (!reader || !reader->current || reader->current->type != type) {
        if (reader && reader->error == 0)
            reader->error = kDescriptorTypeErr;
        return kDescriptorTypeErr;
    }
    *value = std::get<T>(reader->current->value);
    return kNoErr;
}

int16_t GetInteger(PIReadDescriptor r, int32_t* v) { return Get(r, typeInteger, v); }
int16_t GetFloat(PIReadDescriptor r, double* v) { return Get(r, typeFloat, v); }
int16_t GetEnumerated(PIReadDescriptor r, uint32_t* v) { return Get(r, typeEnumerated, v); }

int16_t GetBoolean(PIReadDescriptor r, uint8_t* v)
{
    bool b = false;
    const int16_t error = Get(r, typeBoolean, &b);
    if (error == kNoErr)
        *v = b ? 1 : 0;
    return error;
}

int16_t GetText(PIReadDescriptor r, char* text, int32_t capacity)
{
    std::string value;
    const int16_t error = Get(r, typeText, &value);
    if (error == kNoErr && capacity > 0) {
        const size_t n = std::min(value.size(), size_t(capacity - 1));
        std::memcpy(text, value.data(), n);
        text[n] = '\0';
    }
    return error;
}

PIWriteDescriptor OpenWrite() { return new HostDescriptorWriter; }

int16_t CloseWrite(PIWriteDescriptor writer, PIDescriptorHandle* descriptor)
{
    if (!writer || !descriptor)
        return kParamErr;
    *descriptor = new HostDescriptor(std::move(writer->descriptor));
    delete writer;
    return kNoErr;
}

int16_t PutInteger(PIWriteDescriptor w, uint32_t key, int32_t v)
{
    return w ? (w->descriptor.putInteger(key, v), kNoErr) : kParamErr;
}
int16_t PutFloat(PIWriteDescriptor w, uint32_t key, const double* v)
{
    return w && v ? (w->descriptor.putFloat(key, *v), kNoErr) : kParamErr;
}
int16_t PutBoolean(PIWriteDescriptor w, uint32_t key, uint8_t v)
{
    return w ? (w->descriptor.putBoolean(key, v != 0), kNoErr) : kParamErr;
}
int16_t PutEnumerated(PIWriteDescriptor w, uint32_t key, uint32_t type, uint32_t v)
{
    return w ? (w->descriptor.putEnumerated(key, type, v), kNoErr) : kParamErr;
}
int16_t PutText(PIWriteDescriptor w, uint32_t key, const char* text)
{
    return w && text ? (w->descriptor.putText(key, text), kNoErr) : kParamErr;
}

}  // namespace

ReadDescriptorProcs* ReadDescriptorTable()
{
    static ReadDescriptorProcs procs{OpenRead, CloseRead,  GetKey,        GetInteger,
                                     GetFloat, GetBoolean, GetEnumerated, GetText};
    return &procs;
}

WriteDescriptorProcs* WriteDescriptorTable()
{
    static WriteDescriptorProcs procs{OpenWrite, CloseWrite, PutInteger, PutFloat, PutBoolean, PutEnumerated, PutText};
    return &procs;
}

void DisposeDescriptor(PIDescriptorHandle descriptor) { delete descriptor; }

}  // namespace pictra
