// The filter plug-in interface as the module uses it: the FilterEntry calling
// convention, the FilterRecord, the scripting-descriptor procedures and the
// host's FilterHostBlock. One line per member says what the module relies on.
#pragma once

#include <cstdint>

#include "PluginTypes.h"

struct FilterRecord;

// Every filter is one of these. The entry writes its 16-bit result through
// `result` for every selector it handles and leaves it alone otherwise.
using FilterEntry = void (*)(int16_t selector, FilterRecord* record, intptr_t* data, int16_t* result);

// Called by the host's band iterator once per band, possibly on several
// threads at once: it must read only its source rows and write only its band.
using BandCallback = void (*)(const Band* band, FilterRecord* record);

// ---------------------------------------------------------------------------
// Scripting descriptors. A descriptor is a host handle holding typed items
// under 32-bit keys, in the order they were written.

using PIReadDescriptor = struct HostDescriptorReader*;
using PIWriteDescriptor = struct HostDescriptorWriter*;
using PIDescriptorHandle = struct HostDescriptor*;

// Item types.
constexpr uint32_t typeInteger = FourCC("long");
constexpr uint32_t typeFloat = FourCC("doub");
constexpr uint32_t typeBoolean = FourCC("bool");
constexpr uint32_t typeEnumerated = FourCC("enum");
constexpr uint32_t typeText = FourCC("TEXT");

struct ReadDescriptorProcs {
    // Opens `descriptor` for reading; null when it cannot be read.
    PIReadDescriptor (*openReadDescriptorProc)(PIDescriptorHandle descriptor, const uint32_t* keyArray);
    // Ends the reading; returns the first error met while reading, else 0.
    int16_t (*closeReadDescriptorProc)(PIReadDescriptor reader);
    // Moves to the next item: its key and type; false when there is none left.
    bool (*getKeyProc)(PIReadDescriptor reader, uint32_t* key, uint32_t* type, int32_t* flags);
    // Read the current item; a type mismatch returns an error and leaves *value alone.
    int16_t (*getIntegerProc)(PIReadDescriptor reader, int32_t* value);
    int16_t (*getFloatProc)(PIReadDescriptor reader, double* value);
    int16_t (*getBooleanProc)(PIReadDescriptor reader, uint8_t* value);
    int16_t (*getEnumeratedProc)(PIReadDescriptor reader, uint32_t* value);
    // Copies at most capacity - 1 characters and a terminating NUL.
    int16_t (*getTextProc)(PIReadDescriptor reader, char* text, int32_t capacity);
};

struct WriteDescriptorProcs {
    PIWriteDescriptor (*openWriteDescriptorProc)();
    // Finishes the writer into a new descriptor handle stored through `descriptor`.
    int16_t (*closeWriteDescriptorProc)(PIWriteDescriptor writer, PIDescriptorHandle* descriptor);
    int16_t (*putIntegerProc)(PIWriteDescriptor writer, uint32_t key, int32_t value);
    int16_t (*putFloatProc)(PIWriteDescriptor writer, uint32_t key, const double* value);
    int16_t (*putBooleanProc)(PIWriteDescriptor writer, uint32_t key, uint8_t value);
    int16_t (*putEnumeratedProc)(PIWriteDescriptor writer, uint32_t key, uint32_t type, uint32_t value);
    int16_t (*putTextProc)(PIWriteDescriptor writer, uint32_t key, const char* text);
};

struct PIDescriptorParameters {
    int16_t descriptorParametersVersion;
    int16_t playInfo;  // the host's play flags, passed through
    int16_t recordInfo;  // the host's record flags, passed through
    PIDescriptorHandle descriptor;  // settings to play back, or null; the written descriptor on return
    WriteDescriptorProcs* writeDescriptorProcs;
    ReadDescriptorProcs* readDescriptorProcs;
};

// Handle services; the module uses them to dispose descriptor handles it replaces.
struct HandleProcs {
    void (*disposeProc)(PIDescriptorHandle handle);
};

// ---------------------------------------------------------------------------

struct HostImageMap;  // opaque; GetImageRecord describes it

// The host's extension block, placed in FilterRecord::hostProc.
struct FilterHostBlock {
    // Registers the filter's entry for the host pass; the result is start's result.
    int16_t (*RegisterFilterEntry)(FilterEntry entry, int32_t flags);
    // Re-runs the filter on the dialog preview; non-zero ends the dialog with that code.
    int16_t (*UpdatePreview)();
    // Abandons a preview pass in progress (called before the parameters change).
    void (*StopPreview)();
    // Shows (1) or hides (0) the dialog preview.
    void (*ShowPreview)(int32_t show);
    Rect16 tileRect;  // the rectangle of the current pass, image coordinates
    int16_t bandCount;  // bands to cut a pass into, 1 to 16
    // Calls callback(band, record) exactly once for every band before returning.
    void (*ForEachBand)(int32_t count, const Band* bands, BandCallback callback, intptr_t userWord);
    HostImageMap* imageMap;  // the image map being filtered
    int16_t documentDepth;  // bits per sample of the document: 1, 8, 16 or 32
    int16_t workingDepth;  // bits per sample delivered; set to documentDepth to get deep data
    int32_t passCount;  // written by multi-pass filters: passes per plane
    int32_t passIndex;  // the current pass, from 0
    void* scratchData;  // the host's scratch output of multi-pass filters
    int32_t scratchRowBytes;
    // Set before advanceState by a filter that reads every sample of the
    // request only before writing that same sample: the host may then hand
    // out the image itself as both inData and outData. Cleared by advanceState.
    int16_t inPlace;
    // Set before advanceState by a filter that writes every sample of outRect
    // without reading outData first: the host may then hand out memory that
    // does not hold the image. Cleared by advanceState.
    int16_t overwritesOutput;
};

using AdvanceStateProc = int16_t (*)();
using AbortProc = bool (*)();
using ProgressProc = void (*)(uint32_t done, uint32_t total);

// The filter plug-in record: geometry in image coordinates, planes numbered
// from 0 with the transparency plane (when present) last.
struct FilterRecord {
    AbortProc abortProc;  // true when the user asked to stop
    ProgressProc progressProc;  // shows done/total
    void* parameters;  // the filter's parameter block, kept by the host across runs
    int16_t planes;  // planes of the image, the transparency plane included
    Rect16 filterRect;  // the area to filter (the selection's bounds)
    Rect16 inRect;  // requested input area; may reach outside the image
    int16_t inLoPlane, inHiPlane;  // requested input planes, interleaved in inData
    Rect16 outRect;  // requested output area
    int16_t outLoPlane, outHiPlane;  // requested output planes, interleaved in outData
    void* inData;  // first sample of inRect
    int32_t inRowBytes;
    void* outData;  // first sample of outRect, holding the current pixels
    int32_t outRowBytes;
    uint8_t haveMask;  // a selection mask is available
    Rect16 maskRect;
    void* maskData;  // 8-bit selection over maskRect
    int32_t maskRowBytes;
    uint8_t backColor[4];  // in the image's own mode
    uint8_t foreColor[4];
    FilterHostBlock* hostProc;  // the host's extension block
    int16_t imageMode;  // kModeBitmap ... kModeLab
    int32_t imageHRes, imageVRes;  // pixels per inch, 16.16 fixed point
    Point16 imageSize;  // the whole image
    HandleProcs* handleProcs;
    AdvanceStateProc advanceState;  // delivers inRect/outRect for the requested planes
    int16_t inputPadding;  // -1: replicate edges; 0..255: that value outside the image
    PIDescriptorParameters* descriptorParameters;  // null when the host is not scripting
    int16_t inLayerPlanes, inTransparencyMask;
    int16_t outLayerPlanes, outTransparencyMask;  // outTransparencyMask: the last plane is transparency
};

constexpr int16_t kPadEdgeReplicate = -1;
