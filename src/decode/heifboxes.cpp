#include "decode/heifboxes.h"

#include <QList>

#include <climits>
#include <optional>

namespace {

// A reader of big-endian fields that turns to failure, never past the end.
struct Reader
{
    QByteArrayView data;
    qsizetype at = 0;
    bool ok = true;

    quint64 take(int bytes)
    {
        if (bytes < 0 || bytes > 8 || at + bytes > data.size()) {
            ok = false;
            at = data.size();
            return 0;
        }
        quint64 v = 0;
        for (int i = 0; i < bytes; ++i)
            v = (v << 8) | quint8(data[at + i]);
        at += bytes;
        return v;
    }
    void skip(qsizetype bytes)
    {
        if (bytes < 0 || at + bytes > data.size())
            ok = false;
        at = ok ? at + bytes : data.size();
    }
    quint32 u8() { return quint32(take(1)); }
    quint32 u16() { return quint32(take(2)); }
    quint32 u32() { return quint32(take(4)); }
    QByteArrayView left() const { return data.sliced(at); }
};

struct Box
{
    QByteArrayView type;
    QByteArrayView body;
};

// The boxes one after another in data; stops at the first malformed one.
QList<Box> boxesIn(QByteArrayView data)
{
    QList<Box> boxes;
    Reader r{data};
    while (r.ok && r.at + 8 <= data.size()) {
        const qsizetype start = r.at;
        quint64 size = r.u32();
        const QByteArrayView type = data.sliced(r.at, 4);
        r.at += 4;
        if (size == 1)
            size = r.take(8);
        else if (size == 0)
            size = quint64(data.size() - start);
        const qsizetype header = r.at - start;
        if (!r.ok || size < quint64(header) || size > quint64(data.size() - start))
            break;
        boxes.append({type, data.sliced(r.at, qsizetype(size) - header)});
        r.at = start + qsizetype(size);
    }
    return boxes;
}

std::optional<Box> child(QByteArrayView data, QByteArrayView type)
{
    for (const Box &box : boxesIn(data)) {
        if (box.type == type)
            return box;
    }
    return std::nullopt;
}

// Exp-Golomb and fixed fields of an HEVC parameter set, emulation
// prevention bytes removed first.
struct BitReader
{
    QByteArray bits;
    qsizetype at = 0; // in bits
    bool ok = true;

    explicit BitReader(QByteArrayView nal)
    {
        int zeros = 0;
        for (const char c : nal) {
            if (zeros >= 2 && c == 3) {
                zeros = 0;
                continue;
            }
            zeros = c == 0 ? zeros + 1 : 0;
            bits.append(c);
        }
    }
    quint32 u(int n)
    {
        quint32 v = 0;
        for (int i = 0; i < n; ++i) {
            if (at >= bits.size() * 8) {
                ok = false;
                return 0;
            }
            v = (v << 1) | ((quint8(bits[at / 8]) >> (7 - at % 8)) & 1);
            ++at;
        }
        return v;
    }
    quint32 ue()
    {
        int zeros = 0;
        while (ok && u(1) == 0 && zeros < 32)
            ++zeros;
        if (zeros >= 32) {
            ok = false;
            return 0;
        }
        return (quint32(1) << zeros) - 1 + u(zeros);
    }
};

// pic_width and pic_height_in_luma_samples of an SPS NAL unit.
QSize spsSize(QByteArrayView nal)
{
    BitReader b(nal);
    b.u(16); // NAL unit header
    b.u(4); // sps_video_parameter_set_id
    const int subLayers = int(b.u(3)); // sps_max_sub_layers_minus1
    b.u(1);
    b.u(96); // general profile, tier, flags and level
    QList<bool> profilePresent, levelPresent;
    for (int i = 0; i < subLayers; ++i) {
        profilePresent.append(b.u(1));
        levelPresent.append(b.u(1));
    }
    if (subLayers > 0) {
        for (int i = subLayers; i < 8; ++i)
            b.u(2);
    }
    for (int i = 0; i < subLayers; ++i) {
        if (profilePresent[i])
            b.u(88);
        if (levelPresent[i])
            b.u(8);
    }
    b.ue(); // sps_seq_parameter_set_id
    if (b.ue() == 3) // chroma_format_idc
        b.u(1);
    const quint32 width = b.ue();
    const quint32 height = b.ue();
    if (!b.ok || width == 0 || height == 0 || width > INT_MAX || height > INT_MAX)
        return QSize();
    return QSize(int(width), int(height));
}

// The largest size the SPS units of an hvcC configuration declare.
QSize hvccSize(QByteArrayView body)
{
    Reader r{body};
    r.skip(22); // the profile, level and sizes of the fields
    const quint32 arrays = r.u8();
    QSize largest;
    for (quint32 i = 0; i < arrays && r.ok; ++i) {
        const quint32 type = r.u8() & 0x3f;
        const quint32 units = r.u16();
        for (quint32 n = 0; n < units && r.ok; ++n) {
            const quint32 length = r.u16();
            if (quint64(r.at) + length > quint64(body.size()))
                return largest;
            if (type == 33)
                largest = largest.expandedTo(spsSize(body.sliced(r.at, length)));
            r.skip(length);
        }
    }
    return largest;
}

// The width and height of an ispe box (after its version and flags).
QSize ispeSize(QByteArrayView body)
{
    Reader r{body};
    r.u32();
    const quint32 width = r.u32(), height = r.u32();
    if (!r.ok || width == 0 || height == 0 || width > INT_MAX || height > INT_MAX)
        return QSize();
    return QSize(int(width), int(height));
}

// The properties associated with item (1-based indexes into ipco).
QList<Box> propertiesOf(QByteArrayView meta, quint32 item)
{
    QList<Box> found;
    const std::optional<Box> iprp = child(meta, "iprp");
    if (!iprp)
        return found;
    const std::optional<Box> ipco = child(iprp->body, "ipco");
    const std::optional<Box> ipma = child(iprp->body, "ipma");
    if (!ipco || !ipma)
        return found;
    const QList<Box> properties = boxesIn(ipco->body);
    Reader r{ipma->body};
    const quint32 version = r.u8();
    const quint32 flags = r.take(3);
    const quint32 entries = r.u32();
    for (quint32 e = 0; e < entries && r.ok; ++e) {
        const quint32 id = version < 1 ? r.u16() : r.u32();
        const quint32 count = r.u8();
        for (quint32 a = 0; a < count && r.ok; ++a) {
            const quint32 index = (flags & 1) ? (r.u16() & 0x7fff) : (r.u8() & 0x7f);
            if (id == item && index >= 1 && index <= quint32(properties.size()))
                found.append(properties[index - 1]);
        }
    }
    return found;
}

// The start of item's data: the first extent of its iloc entry.
QByteArrayView itemData(QByteArrayView file, QByteArrayView meta, quint32 item)
{
    const std::optional<Box> iloc = child(meta, "iloc");
    if (!iloc)
        return {};
    Reader r{iloc->body};
    const quint32 version = r.u8();
    r.take(3);
    const quint32 sizes = r.u8();
    const int offsetSize = int(sizes >> 4), lengthSize = int(sizes & 15);
    const quint32 more = r.u8();
    const int baseSize = int(more >> 4), indexSize = version >= 1 ? int(more & 15) : 0;
    const quint32 items = version < 2 ? r.u16() : r.u32();
    for (quint32 i = 0; i < items && r.ok; ++i) {
        const quint32 id = version < 2 ? r.u16() : r.u32();
        const quint32 method = version >= 1 ? (r.u16() & 15) : 0;
        r.u16(); // data_reference_index
        const quint64 base = r.take(baseSize);
        const quint32 extents = r.u16();
        for (quint32 x = 0; x < extents && r.ok; ++x) {
            r.take(indexSize);
            const quint64 offset = base + r.take(offsetSize);
            const quint64 length = r.take(lengthSize);
            if (id != item || x > 0)
                continue;
            QByteArrayView source = file;
            if (method == 1) {
                const std::optional<Box> idat = child(meta, "idat");
                source = idat ? idat->body : QByteArrayView();
            } else if (method != 0) {
                return {};
            }
            if (offset >= quint64(source.size()))
                return {};
            const quint64 available = quint64(source.size()) - offset;
            return source.sliced(qsizetype(offset),
                                 qsizetype(length == 0 ? available : qMin(length, available)));
        }
    }
    return {};
}

QByteArrayView itemType(QByteArrayView meta, quint32 item)
{
    const std::optional<Box> iinf = child(meta, "iinf");
    if (!iinf)
        return {};
    Reader r{iinf->body};
    const quint32 version = r.u8();
    r.take(3);
    r.take(version == 0 ? 2 : 4);
    for (const Box &infe : boxesIn(r.left())) {
        if (infe.type != "infe")
            continue;
        Reader e{infe.body};
        const quint32 infeVersion = e.u8();
        e.take(3);
        if (infeVersion < 2)
            continue;
        const quint32 id = infeVersion == 2 ? e.u16() : e.u32();
        e.u16(); // item_protection_index
        if (id == item && e.ok && e.at + 4 <= infe.body.size())
            return infe.body.sliced(e.at, 4);
    }
    return {};
}

} // namespace

HeifBoxes::Coded HeifBoxes::primary(QByteArrayView file)
{
    Coded coded;
    const std::optional<Box> meta = child(file, "meta");
    if (!meta || meta->body.size() < 4)
        return coded;
    const QByteArrayView inside = meta->body.sliced(4); // version and flags
    const std::optional<Box> pitm = child(inside, "pitm");
    if (!pitm)
        return coded;
    Reader p{pitm->body};
    const quint32 version = p.u8();
    p.take(3);
    const quint32 item = version == 0 ? p.u16() : p.u32();
    if (!p.ok)
        return coded;
    if (itemType(inside, item) == "grid") {
        Reader g{itemData(file, inside, item)};
        g.u8(); // version
        const quint32 flags = g.u8();
        g.take(2); // rows and columns
        const int field = (flags & 1) ? 4 : 2;
        const quint64 width = g.take(field), height = g.take(field);
        if (g.ok && width > 0 && height > 0)
            coded.grid = QSize(int(qMin<quint64>(width, INT_MAX)), int(qMin<quint64>(height, INT_MAX)));
    }
    for (const Box &property : propertiesOf(inside, item)) {
        if (property.type == "hvcC")
            coded.stream = coded.stream.expandedTo(hvccSize(property.body));
        else if (property.type == "ispe")
            coded.boxed = coded.boxed.expandedTo(ispeSize(property.body));
        else if (property.type == "irot" && !property.body.isEmpty())
            coded.quarterTurn = (quint8(property.body[0]) & 1) != 0;
    }
    return coded;
}
