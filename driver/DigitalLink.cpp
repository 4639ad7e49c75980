#include "driver/DigitalLink.h"

#include "driver/Gs1Text.h"

#include <algorithm>
#include <vector>

namespace belvor::gs1 {

namespace {

struct TSegment {
    std::string_view Text;
    size_t At; // offset in the URI
};

bool IsNumber(std::string_view text)
{
    return !text.empty() && AllDigits(text);
}

bool StartsWithNoCase(std::string_view text, std::string_view prefix)
{
    if (text.size() < prefix.size())
        return false;
    for (size_t i = 0; i < prefix.size(); ++i) {
        char c = text[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != prefix[i])
            return false;
    }
    return true;
}

int HexValue(char c)
{
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// The table's row for exactly this AI, or nullptr.
const TAi* ExactAi(std::string_view digits)
{
    const TAi* row = IsNumber(digits) ? FindAi(digits) : nullptr;
    return row != nullptr && row->First.size() == digits.size() ? row : nullptr;
}

class TReader {
public:
    explicit TReader(TGs1Data& out) : FOut(out) {}

    // %XX decoded; a bad escape is kept as it came, and reported.
    std::string Decode(std::string_view ai, TSegment text)
    {
        std::string value;
        value.reserve(text.Text.size());
        for (size_t i = 0; i < text.Text.size(); ++i) {
            const char c = text.Text[i];
            if (c == '%') {
                const int hi = i + 2 < text.Text.size() ? HexValue(text.Text[i + 1]) : -1;
                const int lo = hi >= 0 ? HexValue(text.Text[i + 2]) : -1;
                if (lo >= 0) {
                    value.push_back(static_cast<char>(hi * 16 + lo));
                    i += 2;
                    continue;
                }
                FOut.Errors.push_back(
                    {std::string(ai), static_cast<uint32_t>(text.At + i), TErrorKind::BadUri});
            }
            value.push_back(c);
        }
        return value;
    }

    // One AI and its value: the field, and its checks against the row when the table knows it.
    void Add(const TAi* row, TSegment ai, TSegment value, bool padGtin = false)
    {
        // A path segment that is no AI at all is kept under no AI, as an element string's would be.
        const std::string name = IsNumber(ai.Text) ? std::string(ai.Text) : std::string();
        std::string decoded = Decode(name, value);
        if (padGtin && IsNumber(decoded) &&
            (decoded.size() == 8 || decoded.size() == 12 || decoded.size() == 13))
            decoded.insert(0, 14 - decoded.size(), '0');
        if (row == nullptr) {
            FOut.Errors.push_back({name, static_cast<uint32_t>(ai.At), TErrorKind::UnknownAi});
        } else {
            // Offsets in a value that decoding or padding changed say nothing of
            // the URI: the value's start stands for them.
            const size_t first = FOut.Errors.size();
            CheckValue(*row, name, decoded, 0, FOut.Errors);
            for (size_t i = first; i < FOut.Errors.size(); ++i)
                FOut.Errors[i].Position =
                    static_cast<uint32_t>(value.At + (decoded == value.Text ? FOut.Errors[i].Position : 0));
        }
        FOut.Fields.push_back({name, std::move(decoded)});
    }

    void Report(TSegment ai, TErrorKind kind)
    {
        FOut.Errors.push_back({std::string(ai.Text), static_cast<uint32_t>(ai.At), kind});
    }

private:
    TGs1Data& FOut;
};

std::vector<TSegment> Split(std::string_view text, size_t at, char separator)
{
    std::vector<TSegment> parts;
    size_t from = 0;
    while (from <= text.size()) {
        size_t to = text.find(separator, from);
        if (to == std::string_view::npos)
            to = text.size();
        if (to > from)
            parts.push_back({text.substr(from, to - from), at + from});
        from = to + 1;
    }
    return parts;
}

// Whether the qualifier AIs given, in their order, follow one of the key's
// alternatives ("22,10,21|235"), each at most once.
bool QualifiersFollow(std::string_view alternatives, const std::vector<std::string_view>& given)
{
    for (const TSegment& alternative : Split(alternatives, 0, '|')) {
        const std::vector<TSegment> order = Split(alternative.Text, 0, ',');
        size_t next = 0;
        bool fits = true;
        for (const std::string_view ai : given) {
            while (next < order.size() && order[next].Text != ai)
                ++next;
            if (next == order.size()) {
                fits = false;
                break;
            }
            ++next;
        }
        if (fits)
            return true;
    }
    return given.empty();
}

} // namespace

bool ParseDigitalLink(std::string_view uri, TGs1Data& out)
{
    size_t at;
    if (StartsWithNoCase(uri, "https://"))
        at = 8;
    else if (StartsWithNoCase(uri, "http://"))
        at = 7;
    else
        return false;
    const size_t fragment = std::min(uri.find('#', at), uri.size());
    const size_t query = std::min(uri.find('?', at), fragment);
    const size_t path = std::min(uri.find('/', at), query);
    const std::vector<TSegment> segments = Split(uri.substr(path, query - path), path, '/');

    // The key: the first segment naming a primary key with pairs of AI and value after it.
    size_t key = 0;
    const TAi* keyRow = nullptr;
    for (; key + 1 < segments.size(); ++key) {
        keyRow = ExactAi(segments[key].Text);
        if (keyRow != nullptr && keyRow->DlKey && (segments.size() - key) % 2 == 0)
            break;
        keyRow = nullptr;
    }
    if (keyRow == nullptr)
        return false;

    TReader reader(out);
    reader.Add(keyRow, segments[key], segments[key + 1], keyRow->First == "01");
    std::vector<std::string_view> qualifiers;
    for (size_t i = key + 2; i + 1 < segments.size(); i += 2) {
        const TAi* row = ExactAi(segments[i].Text);
        reader.Add(row, segments[i], segments[i + 1]);
        if (row == nullptr)
            continue;
        qualifiers.push_back(segments[i].Text);
        if (!QualifiersFollow(keyRow->DlQualifiers, qualifiers)) {
            reader.Report(segments[i], TErrorKind::BadQualifier);
            qualifiers.pop_back();
        }
    }
    if (query < fragment)
        for (const TSegment& parameter : Split(uri.substr(query + 1, fragment - query - 1), query + 1, '&')) {
            const size_t equals = parameter.Text.find('=');
            const TSegment name{parameter.Text.substr(0, equals), parameter.At};
            if (!IsNumber(name.Text))
                continue;
            const bool hasValue = equals != std::string_view::npos;
            const TSegment value{hasValue ? parameter.Text.substr(equals + 1) : std::string_view(),
                                 parameter.At + name.Text.size() + (hasValue ? 1 : 0)};
            const TAi* row = ExactAi(name.Text);
            reader.Add(row, name, value);
            if (row != nullptr && !row->DlAttribute)
                reader.Report(name, TErrorKind::NotAttribute);
        }
    return true;
}

} // namespace belvor::gs1
