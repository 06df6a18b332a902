// Writes the seed inputs that come from the simulated reader: the answers a
// reader gives to one card read (start-up, find, select, read base message)
// for each sample card and for an empty reader, laid out for each transport,
// and the sample cards' text blocks. The transport seeds start with the
// fuzz targets' flag byte (0: no padding).
//   fuzz_make_corpus <corpus folder>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "reader-sim/card.h"
#include "reader-sim/engine.h"
#include "reader/frame.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

bool WriteFile(const std::string& path, const Bytes& bytes) {
  std::FILE* f = std::fopen(path.c_str(), "wb");
  if (f == nullptr) return false;
  const bool ok = std::fwrite(bytes.data(), 1, bytes.size(), f) == bytes.size();
  return std::fclose(f) == 0 && ok;
}

template <std::size_t N>
Bytes Answer(talvex::sim::Engine& engine, const std::uint8_t (&request)[N]) {
  return engine.Handle(request, N);
}

bool WriteSession(const std::string& root, const std::string& name,
                  std::optional<talvex::sim::CardImage> card) {
  talvex::sim::Engine engine(card);
  const Bytes answers[] = {
      Answer(engine, talvex::kStartupFrame), Answer(engine, talvex::kFindCardFrame),
      Answer(engine, talvex::kSelectCardFrame), Answer(engine, talvex::kReadBaseMessageFrame)};
  // Byte 0: answers not padded once the input runs out.
  Bytes stream{0};
  Bytes reports{0};  // each answer padded to whole 64-byte input reports
  for (const Bytes& a : answers) {
    stream.insert(stream.end(), a.begin(), a.end());
    reports.insert(reports.end(), a.begin(), a.end());
    reports.resize(1 + (reports.size() - 1 + 63) / 64 * 64, 0);
  }
  return WriteFile(root + "/serial_frame_fuzz/" + name, stream) &&
         WriteFile(root + "/usb_frame_fuzz/" + name, stream) &&
         WriteFile(root + "/hid_frame_fuzz/" + name, reports);
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: fuzz_make_corpus <corpus folder>\n");
    return 2;
  }
  const std::string root = argv[1];
  using talvex::sim::SampleKind;
  const std::pair<SampleKind, const char*> kinds[] = {{SampleKind::Resident, "resident"},
                                                      {SampleKind::Foreign, "foreign"},
                                                      {SampleKind::Hmt, "hmt"}};
  bool ok = WriteSession(root, "no-card", std::nullopt);
  for (const auto& [kind, name] : kinds) {
    const talvex::sim::CardImage card = talvex::sim::SampleCard(kind);
    ok = ok && WriteSession(root, name, card);
    ok = ok && WriteFile(root + "/card_text_fuzz/" + name,
                         Bytes(card.text, card.text + talvex::sim::kTextBlockSize));
  }
  if (!ok) {
    std::fprintf(stderr, "fuzz_make_corpus: cannot write under %s\n", root.c_str());
    return 1;
  }
  return 0;
}
