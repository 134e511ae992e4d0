// Info.plist reading, XML and binary, and the Mach-O headers that tell executables from
// libraries. The binary lists are the fuzz corpus's, written by another implementation.
#include "apprules/property_list.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <vector>

#include "apprules/nested_code.h"
#include "support/test_support.h"

namespace kelo::apprules {
namespace {

constexpr char kKey[] = "CFBundleExecutable";

std::string xmlList(const std::string& members) {
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!DOCTYPE plist PUBLIC \"-//Apple//DTD "
         "PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
         "<plist version=\"1.0\">\n<dict>\n" +
         members + "\n</dict>\n</plist>\n";
}

std::string corpus(const std::string& name) {
  return testing::readFile(std::string(KELO_FUZZ_CORPUS) + "/property_list/" + name);
}

// Members of other kinds, however nested, are passed over; entities and character references
// are decoded; a key that names something other than a string names nothing.
TEST(PropertyList, ReadsTheTopDictionarysStringFromXml) {
  EXPECT_EQ(topLevelString(corpus("xml.plist"), kKey), "Caf\u00e9 & Co");
  EXPECT_EQ(topLevelString(xmlList("<key>A</key><array><dict><key>CFBundleExecutable</key>"
                                   "<string>Inner</string></dict><array/></array>"
                                   "<!-- <key>CFBundleExecutable</key> -->"
                                   "<key>CFBundleExecutable</key><string>&lt;A&#65;&gt;</string>"),
                           kKey),
            "<AA>");
  EXPECT_EQ(topLevelString(xmlList("<key>CFBundleExecutable</key><string/>"), kKey), "");
  EXPECT_EQ(topLevelString(xmlList("<key>CFBundleExecutable</key><true/>"), kKey), std::nullopt);
  EXPECT_EQ(topLevelString(xmlList("<key>Other</key><string>A</string>"), kKey), std::nullopt);
  // Not a dictionary at the top, broken text, an unknown entity, an unclosed string.
  EXPECT_EQ(topLevelString("<plist><array><string>A</string></array></plist>", kKey), std::nullopt);
  EXPECT_EQ(topLevelString(xmlList("text<key>CFBundleExecutable</key><string>A</string>"), kKey),
            std::nullopt);
  EXPECT_EQ(topLevelString(xmlList("<key>CFBundleExecutable</key><string>&nbsp;</string>"), kKey),
            std::nullopt);
  EXPECT_EQ(topLevelString(xmlList("<key>CFBundleExecutable</key><string>A"), kKey), std::nullopt);
}

// A nesting a recursive reader could not survive is skipped by counting; a list over the limit
// is not read at all.
TEST(PropertyList, SurvivesDeepNestingAndRefusesHugeLists) {
  std::string deep;
  for (int level = 0; level < 150000; ++level) {
    deep += "<array>";
  }
  EXPECT_EQ(topLevelString(xmlList("<key>Deep</key>" + deep), kKey), std::nullopt);
  std::string closed = deep.substr(0, std::size_t{60000} * 7);
  for (int level = 0; level < 60000; ++level) {
    closed += "</array>";
  }
  EXPECT_EQ(topLevelString(xmlList("<key>Deep</key>" + closed +
                                   "<key>CFBundleExecutable</key><string>A</string>"),
                           kKey),
            "A");
  const std::string huge =
      xmlList("<key>CFBundleExecutable</key><string>A</string><key>Pad</key><string>" +
              std::string(kMaximumPropertyListBytes, 'x') + "</string>");
  EXPECT_EQ(topLevelString(huge, kKey), std::nullopt);
}

// ASCII keys, a UTF-16 value; every truncation or changed trailer byte is refused or read
// within bounds (the sanitizer builds watch the bounds).
TEST(PropertyList, ReadsBinaryListsAndRefusesBrokenOnes) {
  const std::string list = corpus("binary.plist");
  EXPECT_EQ(topLevelString(list, kKey), "App \u00dcn\u00efcode");
  EXPECT_EQ(topLevelString(list, "CFBundleIdentifier"), "com.example.App");
  EXPECT_EQ(topLevelString(list, "LSItems"), std::nullopt);
  for (std::size_t size = 0; size < list.size(); ++size) {
    EXPECT_EQ(topLevelString(list.substr(0, size), kKey), std::nullopt) << size;
  }
  for (std::size_t at = list.size() - 32; at < list.size(); ++at) {
    for (const unsigned char value : {0x00, 0x01, 0x7F, 0xFF}) {
      std::string changed = list;
      changed[at] = static_cast<char>(value);
      (void)topLevelString(changed, kKey);
    }
  }
}

// `width` bytes of `value`, most significant first.
std::string bigEndian(std::uint64_t value, unsigned width) {
  std::string bytes;
  for (unsigned index = width; index-- > 0;) {
    bytes += static_cast<char>(value >> (8 * index) & 0xFF);
  }
  return bytes;
}

// A binary list of `objects` (object 0 at the top) whose offset table has `entries` entries of
// three bytes, the ith naming object i, or the last object once there are no more; references
// take two bytes.
std::string binaryList(const std::vector<std::string>& objects, std::size_t entries) {
  std::string list = "bplist00";
  std::vector<std::uint64_t> offsets;
  for (const auto& object : objects) {
    offsets.push_back(list.size());
    list += object;
  }
  const std::uint64_t table = list.size();
  for (std::size_t entry = 0; entry < entries; ++entry) {
    list += bigEndian(offsets[std::min(entry, offsets.size() - 1)], 3);
  }
  return list + std::string(6, '\0') + "\x03\x02" + bigEndian(entries, 8) + bigEndian(0, 8) +
         bigEndian(table, 8);
}

// A dictionary that claims more members than the list has objects, and one whose fifty thousand
// keys all name one long string: each is answered at once, where reading every member would
// take billions of steps.
TEST(PropertyList, BinaryListsCostNoMoreThanTheirSize) {
  std::string huge = "\xDF\x13";
  huge += bigEndian(1ULL << 62, 8);
  EXPECT_EQ(topLevelString(binaryList({huge}, 1), kKey), std::nullopt);
  constexpr std::size_t kMembers = 50000;
  std::string dictionary = "\xDF\x12";
  dictionary += bigEndian(kMembers, 4);
  for (std::size_t reference = 0; reference < 2 * kMembers; ++reference) {
    dictionary += bigEndian(1, 2);
  }
  std::string longText = "\x5F\x12";
  longText += bigEndian(300000, 4);
  longText.append(300000, 'x');
  EXPECT_EQ(topLevelString(binaryList({dictionary, longText}, kMembers + 1), kKey), std::nullopt);
  EXPECT_EQ(topLevelString(binaryList({std::string("\xD1\x00\x01\x00\x01", 5),
                                       "\x52"
                                       "CF"},
                                      2),
                           "CF"),
            "CF");
}

TEST(PropertyList, ReadsAFileOnlyWhenItIsARegularOneOfSaneSize) {
  testing::TemporaryDirectory dir;
  testing::writeFile(dir / "Info.plist", corpus("binary.plist"));
  EXPECT_EQ(topLevelStringOfFile(dir / "Info.plist", kKey), "App \u00dcn\u00efcode");
  EXPECT_EQ(topLevelStringOfFile(dir / "Missing.plist", kKey), std::nullopt);
  EXPECT_EQ(topLevelStringOfFile(dir.path(), kKey), std::nullopt);
}

std::string header(std::string magic, unsigned char fileType, bool littleEndian) {
  std::string bytes = std::move(magic) + std::string(8, '\x07');
  bytes += littleEndian ? std::string{static_cast<char>(fileType), 0, 0, 0}
                        : std::string{0, 0, 0, static_cast<char>(fileType)};
  return bytes + std::string(16, '\0');
}

// Thin files of either byte order and word size; libraries and bundles' other files are not
// executables; a universal file points at its first architecture, a class file does not.
TEST(MachOHeader, TellsExecutablesFromLibrariesAndFindsTheFirstArchitecture) {
  EXPECT_TRUE(isMachOExecutableHeader(header("\xCF\xFA\xED\xFE", 2, true)));
  EXPECT_TRUE(isMachOExecutableHeader(header("\xCE\xFA\xED\xFE", 2, true)));
  EXPECT_TRUE(isMachOExecutableHeader(header("\xFE\xED\xFA\xCF", 2, false)));
  EXPECT_FALSE(isMachOExecutableHeader(header("\xCF\xFA\xED\xFE", 6, true)));  // MH_DYLIB
  EXPECT_FALSE(isMachOExecutableHeader(header("\xFE\xED\xFA\xCF", 2, true)));  // wrong order
  EXPECT_FALSE(isMachOExecutableHeader(header("#!/bin/sh", 2, true)));
  EXPECT_FALSE(isMachOExecutableHeader(std::string("\xCF\xFA\xED\xFE", 4)));

  const std::string fat = std::string("\xCA\xFE\xBA\xBE\0\0\0\x02", 8) +
                          std::string("\x01\0\0\x07\0\0\0\x03\0\0\x40\0", 12);
  EXPECT_EQ(universalFirstOffset(fat), 0x4000u);
  const std::string fat64 = std::string("\xCA\xFE\xBA\xBF\0\0\0\x01", 8) +
                            std::string("\x01\0\0\x0C\0\0\0\0\0\0\0\0\0\x01\0\0", 16);
  EXPECT_EQ(universalFirstOffset(fat64), 0x10000u);
  EXPECT_EQ(universalFirstOffset(std::string("\xCA\xFE\xBA\xBE\0\0\0\x34", 8) + fat.substr(8)),
            std::nullopt);
  EXPECT_EQ(universalFirstOffset(fat.substr(0, 12)), std::nullopt);

  testing::TemporaryDirectory dir;
  std::string universal = fat + std::string(0x4000 - fat.size(), '\0');
  universal += header("\xCF\xFA\xED\xFE", 2, true);
  testing::writeFile(dir / "universal", universal);
  testing::writeFile(dir / "library", header("\xCF\xFA\xED\xFE", 6, true));
  EXPECT_TRUE(isMachOExecutable(dir / "universal"));
  EXPECT_FALSE(isMachOExecutable(dir / "library"));
  EXPECT_FALSE(isMachOExecutable(dir / "missing"));
}

}  // namespace
}  // namespace kelo::apprules
