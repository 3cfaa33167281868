// SECS-II item codec and message access block.
//
// A body is built item by item into a caller's buffer (BuildOpen, PutItem,
// BuildEnd) or read item by item from one (ReadOpen, GetItem until -951,
// ReadClose), through an XKSMssgBlock that the caller owns and that keeps
// the position, the list nesting of the text walk and the error state. The
// module also converts message headers and HSMS length prefixes between
// wire and host byte order.
//
// Item encoding: format byte (code in bits 7..2, number of length bytes
// 1..3 in bits 1..0), big-endian length (list: item count, else data bytes),
// data big-endian. Format words passed in and out hold the code in bits
// 0..7 and, for 2-byte character text (code 022), the character-set number
// in bits 16..31 (2 UTF-8, 8 Shift-JIS, 9 EUC).
#pragma once
#include <cstddef>
#include <cstdint>

// Format codes (octal, as the protocol writes them).
inline constexpr int32_t XKS_FMT_L = 000;
inline constexpr int32_t XKS_FMT_B = 010;
inline constexpr int32_t XKS_FMT_T = 011;
inline constexpr int32_t XKS_FMT_A = 020;
inline constexpr int32_t XKS_FMT_J = 021;
inline constexpr int32_t XKS_FMT_K = 022;
inline constexpr int32_t XKS_FMT_I8 = 030;
inline constexpr int32_t XKS_FMT_I1 = 031;
inline constexpr int32_t XKS_FMT_I2 = 032;
inline constexpr int32_t XKS_FMT_I4 = 034;
inline constexpr int32_t XKS_FMT_F8 = 040;
inline constexpr int32_t XKS_FMT_F4 = 044;
inline constexpr int32_t XKS_FMT_U8 = 050;
inline constexpr int32_t XKS_FMT_U1 = 051;
inline constexpr int32_t XKS_FMT_U2 = 052;
inline constexpr int32_t XKS_FMT_U4 = 054;

// Character-set numbers of code 022 items.
inline constexpr int32_t XKS_CSET_UTF8 = 2;
inline constexpr int32_t XKS_CSET_SJIS = 8;
inline constexpr int32_t XKS_CSET_EUC = 9;

// Character-set number of the process character code.
int32_t XKSMssgProcessCset();
// Process character code (XKW_CODE_*) of a character-set number, -1 for
// sets that are not converted.
int32_t XKSMssgCsetCode(int32_t cset);

// Open and access flags.
inline constexpr int32_t XKS_MSSG_SIZE = 0x800;       // open: fifth argument is a largest message size
inline constexpr int32_t XKS_MSSG_CONVERT = 0x4000;   // put/get: convert code 022 text to/from the process code
inline constexpr int32_t XKS_MSSG_LOOKUP = 0x8000;    // read open: look the message definition up
inline constexpr int32_t XKS_MSSG_LOOKBITS = 0x7000;  // read open: lookup bits passed on to the definitions
inline constexpr int32_t XKS_MSSG_ENGINE = 0x10000;   // read open: use the engine's definition table

inline constexpr int32_t XKS_MSSG_DEPTH = 32;         // list levels the text walk tracks
inline constexpr int32_t XKS_MSSG_SCRATCH = 65536;    // scratch area inside the block
inline constexpr int32_t XKS_MSSG_MAXLEN = 0xFFFFFF;  // largest length field (3 length bytes)

// One row of the format table. The index is the row number the text
// notations use; code 022 has two rows (K and M), lookups find K.
struct XKSMssgFormat {
    int32_t index;
    int32_t code;
    const char* name;
    int32_t size;  // element size in bytes; 0 for a list
};

inline constexpr XKSMssgFormat XKSMssgFormats[17] = {
    {0, XKS_FMT_L, "L", 0},   {1, XKS_FMT_B, "B", 1},   {2, XKS_FMT_T, "T", 1},
    {3, XKS_FMT_A, "A", 1},   {4, XKS_FMT_J, "J", 1},   {5, XKS_FMT_K, "K", 1},
    {6, XKS_FMT_K, "M", 1},   {7, XKS_FMT_I8, "I8", 8}, {8, XKS_FMT_I1, "I1", 1},
    {9, XKS_FMT_I2, "I2", 2}, {10, XKS_FMT_I4, "I4", 4}, {11, XKS_FMT_F8, "F8", 8},
    {12, XKS_FMT_F4, "F4", 4}, {13, XKS_FMT_U8, "U8", 8}, {14, XKS_FMT_U1, "U1", 1},
    {15, XKS_FMT_U2, "U2", 2}, {16, XKS_FMT_U4, "U4", 4},
};

// Row index of a format code (bits 0..7 of a format word), or -22.
constexpr int32_t XKSMssgFormatIndex(int32_t format)
{
    for (const XKSMssgFormat& f : XKSMssgFormats)
        if (f.code == (format & 0xFF))
            return f.index;
    return -22;
}

// Text formats: A, J and 2-byte character text.
constexpr bool XKSMssgIsText(int32_t format)
{
    int32_t code = format & 0xFF;
    return code == XKS_FMT_A || code == XKS_FMT_J || code == XKS_FMT_K;
}

// State of an array that the text walk shows in parts over several calls.
struct XKSMssgPending {
    int32_t format;       // format word of the array
    int32_t count;        // its element count
    int32_t part_end;     // element after the part shown last
    int32_t part_pos;     // first element of the part being shown
    int32_t label_width;  // line length before the values, to indent later parts
};

// Message access block. Open operations clear it completely (the inline
// scratch bytes are not wiped, only the fields). The block may be garbage
// before its first open. An open that finds the block still open (magic
// "XKSW" and self pointing at this very block) first releases what the
// earlier open holds (an allocated scratch area, a definition cursor), so
// re-opening without a close does not leak; a block copied byte-wise never
// releases its original's resources. Do not copy an open block.
struct XKSMssgBlock {
    char magic[4];                   // "XKSW" while open
    const void* session;             // owning session; null with XKS_MSSG_SIZE
    int32_t xmsgsize;                // largest message size: the session's or the one given
    int32_t xerr;                    // last negative result
    int32_t xeps;                    // progress code of the last operation
    int32_t size;                    // building: capacity; reading: body length
    int32_t position;                // building: bytes written; reading: next item
    int32_t depth;                   // text walk: open lists (0..32)
    int32_t list_count[XKS_MSSG_DEPTH];  // text walk: item count of each open list
    int32_t list_used[XKS_MSSG_DEPTH];   // text walk: items read of each open list
    XKSMssgPending pending;          // text walk: array shown in parts
    int32_t definition;              // definition cursor: matched definition, -1 none
    int32_t scratch_size;            // bytes usable at scratch
    uint8_t* scratch;                // scratch_inline or an allocated area
    // Last item read or written, for diagnostics and the trace.
    int32_t last_format;             // format word
    int32_t last_lenbytes;           // number of length bytes
    int32_t last_count;              // element count (list: item count)
    int32_t last_position;           // offset of its format byte
    int32_t last_elsize;             // element size
    int32_t last_length;             // data length (list: item count)
    int32_t flags;                   // flags of the open
    const XKSMssgBlock* self;        // this block while open; guards the release at re-open
    uint8_t* scratch_heap;           // allocated scratch area owned by the block, or null
    uint8_t scratch_inline[XKS_MSSG_SCRATCH];
};

// True while the block is open (built or read).
inline bool XKSMssgIsOpen(const XKSMssgBlock* block)
{
    return block != nullptr && block->magic[0] == 'X' && block->magic[1] == 'K' && block->magic[2] == 'S' &&
           block->magic[3] == 'W';
}

// Hooks through which the session and definition modules plug into the
// codec. The codec sits below them, so they register themselves at start
// instead of the codec calling up into them. Every member may be null.
struct XKSMssgHooks {
    // The session's largest message size (0 = default 65536).
    int32_t (*msgsize)(const void* session);
    // Match a received message against the session's definitions (the
    // trace-side match): sf = stream (no W-bit) * 256 + function, flags =
    // the open flags masked to 0x10000 | 0x7000. Copies the matched name
    // into name (size bytes, terminated; name may be null with size 0);
    // returns the definition index (>= 0, kept as the block's cursor) or a
    // negative result (no name).
    int32_t (*lookup)(const void* session, int32_t flags, const uint8_t* body, int32_t length,
                      int32_t sf, char* name, size_t size);
    // Release a cursor returned by lookup (called at close or re-open).
    void (*release)(const void* session, int32_t flags, int32_t definition);
    // Copy the matched name of the next received item of a cursor into
    // name (size bytes, terminated); returns the item's index, or -120
    // after the last item.
    int32_t (*next_item)(const void* session, int32_t flags, int32_t definition, char* name, size_t size);
};

// Install the hooks (null removes them) and return the ones they replace.
// The struct must stay valid while installed; install once at start,
// before any message is read.
const XKSMssgHooks* XKSMssgSetHooks(const XKSMssgHooks* hooks);

// Open a block for building into buffer (capacity bytes). session_or_size is
// the owning session's address (reinterpret_cast<intptr_t>), or with flag
// 0x800 a largest message size. A built block needs no close.
// Returns 0, -22 for a negative capacity or a null buffer with capacity.
int32_t XKSMssgBuildOpen(XKSMssgBlock* block, int32_t flags, uint8_t* buffer, int32_t capacity,
                         intptr_t session_or_size);
// Append one item (format word, element count, host-order values or text;
// text count 0 = its length, else cut or blank-padded to count, 2-byte text
// cut at a whole character; with 0x4000 converted into the item's set).
// Returns 0; -9 not open; -22 bad format, count, data or unconvertible
// text; -28 buffer full; -12 no memory. A failed put writes nothing.
int32_t XKSMssgPutItem(XKSMssgBlock* block, int32_t flags, uint8_t* buffer, int32_t format,
                       int32_t count, const void* data);
// Length of the body built so far, or -9.
int32_t XKSMssgBuildEnd(XKSMssgBlock* block);

// Open a block for reading the body buffer (length bytes). session_or_size
// as for BuildOpen. With flag 0x8000 (and a session, not a bare size) the
// message definition for the header (10 bytes, host order) is looked up and
// its name copied to name_out (name_size bytes; empty when unknown). The
// scratch area is allocated when the largest message size or length is
// above 65536. Returns 0, -22 bad arguments, -12 no memory (block closed).
int32_t XKSMssgReadOpen(XKSMssgBlock* block, int32_t flags, const uint8_t* buffer, int32_t length,
                        intptr_t session_or_size, const uint8_t* header, char* name_out,
                        size_t name_size);
// Read the next item into out (outsize bytes; cleared first; text gets its
// NUL inside the area, so at most outsize-1 text bytes). With 0x4000 2-byte
// text is converted into the process code, cut at a whole character when
// it outgrows the area. format, size (element size) and count are set on
// every call (each may be null). Returns 0; -951 end of body; -28 out too
// small (the item is skipped; a null out skips nothing); -22, -42, -7
// malformed item (the position stays); -9 not open.
int32_t XKSMssgGetItem(XKSMssgBlock* block, int32_t flags, const uint8_t* buffer, int32_t* format,
                       int32_t* size, int32_t* count, void* out, int32_t outsize);
// Release the definition cursor and an allocated scratch area and close the
// block. Returns 0 or -9.
int32_t XKSMssgReadClose(XKSMssgBlock* block);

// Swap bytes 0..1, 6..7 and 8..9 of a 10-byte header between wire and host
// order, in place. Returns 0, or -22 for a null header.
int32_t XKSMssgHeaderOrder(uint8_t* header);
// XKSMssgHeaderOrder for a header of a link with those SECSMODE bits: on
// SECS-I (bit 0x1 clear) bytes 4..5 are one 16-bit field, the E-bit and
// block number, and are swapped too. Returns 0 or -22.
int32_t XKSMssgLinkOrder(uint8_t* header, uint32_t secsmode);
// Swap a 4-byte length between wire and host order, in place. Returns 0 or -22.
int32_t XKSMssgLengthOrder(uint8_t* length);

// Text the communication trace prints for a codec result ("" for results
// that have none).
const char* XKSMssgResultText(int32_t result);

// Name of the next received item from the block's definition cursor (see
// XKSMssgHooks::next_item; flags are passed on with the block's engine bit)
// into name (size bytes, empty when there is none). Returns the item's
// index, -120 after the last item or without a cursor, -9 not open.
int32_t XKSMssgItemName(XKSMssgBlock* block, int32_t flags, char* name, size_t size);

// ---- Text notation: one line of text per item ----
//
// Four notations, chosen by bits 4..6 of the flags (XKSMssgNotation):
// bracket  L[2]  A[2]="AB"  U2[2]=1,2
// compact  L2    A "AB"     2U 1,2
// angle    <L[2] <A[2] "AB"> <U2[2] 1,2>
// comma    <L,2  A[2]="AB"  U2[2]=1,2
// Any other number prints as bracket. Text goes between double quotes,
// single quotes when it holds a double quote, and bare when it holds both.
inline constexpr int32_t XKS_TEXT_BRACKET = 0;
inline constexpr int32_t XKS_TEXT_COMPACT = 1;
inline constexpr int32_t XKS_TEXT_ANGLE = 2;
inline constexpr int32_t XKS_TEXT_COMMA = 4;
inline constexpr int32_t XKS_TEXT_PARTS = 0x04;  // get text: long arrays in parts over several calls
inline constexpr int32_t XKS_TEXT_NAMES = 0x80;  // get text: item names from the definition cursor
inline constexpr int32_t XKS_TEXT_PART_VALUES = 20;  // values per part
inline constexpr int32_t XKS_TEXT_PART_BYTES = 100;  // text bytes per part

// The notation selected by flags (bits 4..6), folded to one of the four.
constexpr int32_t XKSMssgNotation(int32_t flags)
{
    int32_t n = (flags >> 4) & 7;
    return n == XKS_TEXT_COMPACT || n == XKS_TEXT_ANGLE || n == XKS_TEXT_COMMA ? n : XKS_TEXT_BRACKET;
}

// Next line of a body opened for reading: the item's label and values, two
// blanks of indentation per list level, lists closed as they fill. flags:
// notation, XKS_TEXT_PARTS, XKS_TEXT_NAMES, 0x4000 (2-byte text labels
// with the character-set number). line gets at most size - 1 characters
// and is always terminated. Returns the item's depth (0 = top level),
// -951 at the end of the body, -22 for a null line or size < 1, or the
// codec's result for a malformed item. format and count (may be null)
// describe the item.
int32_t XKSMssgGetText(XKSMssgBlock* block, int32_t flags, const uint8_t* buffer, int32_t* format, int32_t* count,
                       char* line, int32_t size);

// Parse one line in the notation of flags and append the item it describes
// to a body being built. A line ">" (angle and comma notations) is accepted
// and adds nothing. Returns 0; -22 for a line that names no item or holds
// a value that is not a number; -28 when the values do not fit in the
// block's scratch area or the item does not fit in the body; -9 not open.
int32_t XKSMssgPutText(XKSMssgBlock* block, int32_t flags, uint8_t* buffer, const char* text);

// Append the label of an item (format word, element count, name or null)
// in a notation to line, whose first length characters are in use (size
// bytes in all, always terminated, cut to fit). flags: 0x4000 as for get
// text. Returns the new length, -22 for a bad format or line.
int32_t XKSMssgItemLabel(char* line, int32_t size, int32_t length, int32_t format, const char* name, int32_t flags,
                         int32_t notation, int32_t count);

// Append the values of an item (count host-order elements, or count bytes
// of text) in a notation to line, as XKSMssgItemLabel. Values stop with
// "..." when the line would outgrow size; text that does not fit is cut
// to an even length followed by " ...". With part non-null only the part
// starting at element *part is written (20 values or 100 text bytes when
// more than that remain) and *part is set to the element after it. The
// angle notation closes the item's last part with ">". Returns the new
// length, -22 for a bad format or line.
int32_t XKSMssgItemValues(int32_t format, int32_t notation, int32_t count, char* line, int32_t size,
                          int32_t length, const void* values, int32_t* part);
