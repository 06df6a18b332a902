#include "reader-sim/card.h"

#include <fstream>
#include <iterator>
#include <vector>

#include "platform/utf.h"
#include "reader-sim/bitmap_file.h"

#include "wlt-standin/standin_format.h"

namespace talvex::sim {
namespace {

// Where a field sits in the text block: byte offset and width in UTF-16
// units. The block is little-endian UTF-16, every field padded with spaces.
struct FieldSlot {
  const char* key;
  std::size_t offset;
  std::size_t units;
};

// The card-type unit that tells the kinds apart ("I" foreign, "J" permit, a
// space on a resident card). A card file may set it on any kind, to serve a
// kind that the service does not know.
constexpr std::size_t kCardTypeOffset = 248;

constexpr FieldSlot kResidentFields[] = {
    {"name", 0, 15},
    {"genderCode", 30, 1},
    {"nationCode", 32, 2},
    {"birthDate", 36, 8},
    {"address", 52, 35},
    {"idNumber", 122, 18},
    {"issuingAuthority", 158, 15},
    {"validFrom", 188, 8},
    {"validTo", 204, 8},
    {"cardType", kCardTypeOffset, 1},
};

constexpr FieldSlot kForeignFields[] = {
    {"englishName", 0, 60},
    {"genderCode", 120, 1},
    {"cardNumber", 122, 15},
    {"nationalityCode", 152, 3},
    {"chineseName", 158, 15},
    {"validFrom", 188, 8},
    {"validTo", 204, 8},
    {"birthDate", 220, 8},
    {"cardVersion", 236, 2},
    {"authorityCode", 240, 4},
    {"cardType", kCardTypeOffset, 1},
};

constexpr FieldSlot kHmtFields[] = {
    {"name", 0, 15},
    {"genderCode", 30, 1},
    {"birthDate", 36, 8},
    {"address", 52, 35},
    {"idNumber", 122, 18},
    {"issuingAuthority", 158, 15},
    {"validFrom", 188, 8},
    {"validTo", 204, 8},
    {"passNumber", 220, 9},
    {"issueCount", 238, 2},
    {"cardType", kCardTypeOffset, 1},
};

// Values the service derives from the card; a card does not store them.
constexpr const char* kDerivedKeys[] = {"genderText", "nationName", "nationalityText",
                                        "authorityText"};

struct FieldTable {
  const FieldSlot* slots;
  std::size_t count;
};

FieldTable FieldsOf(SampleKind kind) {
  switch (kind) {
    case SampleKind::Foreign:
      return {kForeignFields, std::size(kForeignFields)};
    case SampleKind::Hmt:
      return {kHmtFields, std::size(kHmtFields)};
    case SampleKind::Resident:
      break;
  }
  return {kResidentFields, std::size(kResidentFields)};
}

const FieldSlot* FindSlot(SampleKind kind, std::string_view key) {
  FieldTable t = FieldsOf(kind);
  for (std::size_t i = 0; i < t.count; ++i) {
    if (key == t.slots[i].key) return &t.slots[i];
  }
  return nullptr;
}

void PutUnit(std::uint8_t* text, std::size_t offset, char16_t unit) {
  text[offset] = static_cast<std::uint8_t>(unit & 0xFF);
  text[offset + 1] = static_cast<std::uint8_t>(unit >> 8);
}

// A block of spaces with the card-type unit of the kind at byte 248.
void BlankText(SampleKind kind, std::uint8_t (&text)[kTextBlockSize]) {
  for (std::size_t i = 0; i < kTextBlockSize; i += 2) PutUnit(text, i, u' ');
  if (kind == SampleKind::Foreign) PutUnit(text, kCardTypeOffset, u'I');
  if (kind == SampleKind::Hmt) PutUnit(text, kCardTypeOffset, u'J');
}

// Writes `value` into its slot, padded with spaces; the caller has checked
// that it fits.
void PutField(const FieldSlot& slot, std::u16string_view value, std::uint8_t* text) {
  for (std::size_t i = 0; i < slot.units; ++i) {
    PutUnit(text, slot.offset + 2 * i, i < value.size() ? value[i] : u' ');
  }
}

struct FieldValue {
  const char* key;
  const char16_t* value;
};

CardImage BuildSample(SampleKind kind, const FieldValue* values, std::size_t count, int variant) {
  CardImage card;
  BlankText(kind, card.text);
  for (std::size_t i = 0; i < count; ++i) {
    PutField(*FindSlot(kind, values[i].key), values[i].value, card.text);
  }
  SamplePhoto(variant, card.photo);
  return card;
}

int VariantOf(SampleKind kind) {
  return static_cast<int>(kind);
}

bool ValidUtf8(std::string_view text) {
  // A round trip changes any invalid sequence into U+FFFD.
  return Utf16ToUtf8(Utf8ToUtf16(text)) == text;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t')) s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t' || s.back() == '\r')) {
    s.remove_suffix(1);
  }
  return s;
}

struct Entry {
  int line;
  std::string key;
  std::string value;
};

std::string KeyList(SampleKind kind) {
  std::string list;
  FieldTable t = FieldsOf(kind);
  for (std::size_t i = 0; i < t.count; ++i) {
    if (!list.empty()) list += ", ";
    list += t.slots[i].key;
  }
  return list + ", photo";
}

std::string JoinPath(const std::string& dir, const std::string& file) {
  if (file.empty() || file.front() == '/' || dir.empty()) return file;
  return dir.back() == '/' ? dir + file : dir + "/" + file;
}

bool PhotoFromBitmap(const std::string& path, std::uint8_t (&block)[kPhotoBlockSize],
                     std::string* why) {
  std::vector<std::uint8_t> rgb;
  if (!LoadBitmapScaled(path, kPhotoWidth, kPhotoHeight, &rgb, why)) return false;
  if (!standin::EncodeStandinPhoto(rgb.data(), block)) {
    *why = "the picture could not be encoded into a photo block";
    return false;
  }
  return true;
}

// The key = value lines of a card file, in order. Blank lines, comments
// and section names are skipped; false, with the line and what is wrong
// with it, for any other line that is no assignment or repeats a key.
bool ReadEntries(std::string_view content, std::vector<Entry>* entries, int* errorLine,
                 std::string* why) {
  auto fail = [&](int line, std::string message) {
    *errorLine = line;
    *why = std::move(message);
    return false;
  };
  int lineNo = 0;
  std::size_t pos = 0;
  while (pos <= content.size()) {
    std::size_t nl = content.find('\n', pos);
    std::string_view raw =
        content.substr(pos, nl == std::string_view::npos ? std::string_view::npos : nl - pos);
    pos = nl == std::string_view::npos ? content.size() + 1 : nl + 1;
    ++lineNo;
    std::string_view line = Trim(raw);
    if (line.empty() || line.front() == '#' || line.front() == ';') continue;
    if (line.front() == '[' && line.back() == ']') continue;  // a section name, e.g. [card]
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return fail(lineNo, "expected key = value");
    std::string_view key = Trim(line.substr(0, eq));
    std::string_view value = Trim(line.substr(eq + 1));
    if (key.empty()) return fail(lineNo, "missing key before '='");
    if (value.size() >= 2 && value.front() == '"' && value.back() == '"') {
      value = value.substr(1, value.size() - 2);  // quotes keep leading/trailing spaces
    }
    for (const Entry& e : *entries) {
      if (e.key == key) {
        // Appended piece by piece: GCC 12 -O3 warns falsely (-Wrestrict) on
        // a literal + std::string chain here.
        std::string message = "\"";
        message += key;
        message += "\" given twice (first on line ";
        message += std::to_string(e.line);
        message += ')';
        return fail(lineNo, std::move(message));
      }
    }
    entries->push_back({lineNo, std::string(key), std::string(value)});
  }
  return true;
}

// One entry of a card file into the card of `kind` being built; an empty
// string when it was taken, else what is wrong with it.
std::string ApplyEntry(const Entry& e, SampleKind kind, const std::string& baseDir,
                       CardImage* built) {
  if (e.key == "kind") return std::string();
  if (e.key == "photo") {
    if (e.value == "sample" || e.value.empty()) return std::string();
    std::string why;
    if (!PhotoFromBitmap(JoinPath(baseDir, e.value), built->photo, &why)) {
      return "photo \"" + e.value + "\": " + why;
    }
    return std::string();
  }
  for (const char* derived : kDerivedKeys) {
    if (e.key == derived) {
      return "\"" + e.key +
             "\" is worked out by the service from the card's codes; it is not stored on the card";
    }
  }
  const FieldSlot* slot = FindSlot(kind, e.key);
  if (!slot) {
    return "unknown field \"" + e.key + "\" for a " + SampleKindName(kind) +
           " card (fields: " + KeyList(kind) + ")";
  }
  std::u16string value = Utf8ToUtf16(e.value);
  if (value.size() > slot->units) {
    return "\"" + e.key + "\" is " + std::to_string(value.size()) +
           " UTF-16 units long; the card field holds " + std::to_string(slot->units);
  }
  PutField(*slot, value, built->text);
  return std::string();
}

}  // namespace

const char* SampleKindName(SampleKind kind) {
  switch (kind) {
    case SampleKind::Foreign:
      return "foreign";
    case SampleKind::Hmt:
      return "hmt";
    case SampleKind::Resident:
      break;
  }
  return "resident";
}

bool ParseSampleKind(std::string_view name, SampleKind* kind) {
  for (SampleKind k : {SampleKind::Resident, SampleKind::Foreign, SampleKind::Hmt}) {
    if (name == SampleKindName(k)) {
      *kind = k;
      return true;
    }
  }
  return false;
}

void SamplePhoto(int variant, std::uint8_t (&block)[kPhotoBlockSize]) {
  standin::MakeSamplePhoto(variant, block);
}

CardImage SampleCard(SampleKind kind) {
  switch (kind) {
    case SampleKind::Foreign: {
      static constexpr FieldValue kValues[] = {
          {"englishName", u"DOE JANE"},
          {"genderCode", u"2"},
          {"cardNumber", u"000000000000000"},
          {"nationalityCode", u"USA"},
          {"chineseName", u"多伊"},
          {"validFrom", u"20200101"},
          {"validTo", u"20300101"},
          {"birthDate", u"19800101"},
          {"cardVersion", u"01"},
          {"authorityCode", u"0000"},
      };
      return BuildSample(kind, kValues, std::size(kValues), VariantOf(kind));
    }
    case SampleKind::Hmt: {
      static constexpr FieldValue kValues[] = {
          {"name", u"李四"},
          {"genderCode", u"1"},
          {"birthDate", u"19900101"},
          {"address", u"某省某市某区某路2号"},
          {"idNumber", u"000000199001010000"},
          {"issuingAuthority", u"某市公安局"},
          {"validFrom", u"20200101"},
          {"validTo", u"20250101"},
          {"passNumber", u"H00000000"},
          {"issueCount", u"01"},
      };
      return BuildSample(kind, kValues, std::size(kValues), VariantOf(kind));
    }
    case SampleKind::Resident:
      break;
  }
  static constexpr FieldValue kValues[] = {
      {"name", u"张三"},
      {"genderCode", u"1"},
      {"nationCode", u"01"},
      {"birthDate", u"20000101"},
      {"address", u"某省某市某区某路1号"},
      {"idNumber", u"000000200001010000"},
      {"issuingAuthority", u"某市公安局"},
      {"validFrom", u"20200101"},
      {"validTo", u"20400101"},
  };
  return BuildSample(kind, kValues, std::size(kValues), VariantOf(kind));
}

bool ParseCardText(std::string_view content, const std::string& baseDir,
                   const std::string& sourceName, CardImage* card, std::string* error) {
  auto fail = [&](int line, const std::string& why) {
    std::string where = sourceName;
    if (line > 0) where.append(":").append(std::to_string(line));
    *error = where.append(": ").append(why);
    return false;
  };
  if (content.size() >= 3 && content.substr(0, 3) == "\xEF\xBB\xBF") content.remove_prefix(3);
  if (!ValidUtf8(content)) return fail(0, "the file is not valid UTF-8");

  std::vector<Entry> entries;
  int errorLine = 0;
  std::string why;
  if (!ReadEntries(content, &entries, &errorLine, &why)) return fail(errorLine, why);

  SampleKind kind = SampleKind::Resident;
  for (const Entry& e : entries) {
    if (e.key == "kind" && !ParseSampleKind(e.value, &kind)) {
      return fail(e.line, "unknown kind \"" + e.value + "\" (resident, foreign or hmt)");
    }
  }

  CardImage built;
  BlankText(kind, built.text);
  SamplePhoto(VariantOf(kind), built.photo);
  for (const Entry& e : entries) {
    why = ApplyEntry(e, kind, baseDir, &built);
    if (!why.empty()) return fail(e.line, why);
  }
  *card = built;
  return true;
}

bool LoadCardFile(const std::string& path, CardImage* card, std::string* error) {
  std::ifstream in(path, std::ios::binary);
  if (!in) {
    *error = path + ": cannot open the card file";
    return false;
  }
  std::string content((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  if (in.bad()) {
    *error = path + ": cannot read the card file";
    return false;
  }
  if (content.size() > 64 * 1024) {
    *error = path + ": too large for a card file";
    return false;
  }
  std::string dir;
  std::size_t slash = path.rfind('/');
  if (slash != std::string::npos) dir = path.substr(0, slash + 1);
  return ParseCardText(content, dir, path, card, error);
}

}  // namespace talvex::sim
