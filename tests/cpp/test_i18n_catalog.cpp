// Message catalogs, locales and text conversion.
#include <fl/filesystem/install_path.hpp>
#include <fl/i18n/catalog.hpp>
#include <fl/i18n/convert.hpp>

#include <gtest/gtest.h>

#include <stdlib.h>

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <utility>
#include <vector>

using namespace fl::i18n;

namespace {

// The build folder holds locale/<lang>/LC_MESSAGES/*.mo, like an installation.
fl::ustring buildInstallPath() {
    std::string dir = VELDRA_TEST_LOCALE_DIR;
    return to_ustring(dir.substr(0, dir.rfind('/')));
}

class Catalogs : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_TRUE(MessageCatalog::MessageCatalogInit(buildInstallPath())); }
};

resource_core::BaseMsgID message(const char* catalog, const char* key) {
    return {0, catalog, key};
}

}  // namespace

TEST_F(Catalogs, TextsByLanguage) {
    struct Case {
        const char* locale;
        const char16_t* text;
    } cases[] = {
        {"C", u"The message key must be a string."},
        {"en_US.UTF-8", u"The message key must be a string."},
        {"de_DE.UTF-8", u"Der Meldungsschlüssel muss eine Zeichenkette sein."},
        {"de", u"Der Meldungsschlüssel muss eine Zeichenkette sein."},
        {"fr_FR.UTF-8", u"The message key must be a string."},  // no French catalog
    };
    for (const auto& c : cases)
        EXPECT_EQ(
            MessageCatalog::get_message(message("VELDRA:PythonEngine", "MessageIDShouldBeStr"), KvLocale(c.locale)),
            c.text)
            << c.locale;
}

TEST_F(Catalogs, ArgumentsAreFilledIn) {
    resource_core::BaseMsgID id(1, "VELDRA:PythonQxArray", "UnsupportedPythonData");
    id.args()[0] = std::string("mymodule.Thing");
    EXPECT_EQ(to_string(MessageCatalog::get_message(id, KvLocale("C"))),
              "Python values of type mymodule.Thing cannot be passed to VELDRA.");
    id.args()[0] = fl::ustring(u"wide\u00e9");
    EXPECT_NE(MessageCatalog::get_message(id, KvLocale("C")).find(u"wide\u00e9"), fl::ustring::npos);
    id.args()[0] = 2.5;
    EXPECT_NE(MessageCatalog::get_message(id, KvLocale("C")).find(u" 2.5 "), fl::ustring::npos);
}

TEST_F(Catalogs, MissingMessagesStillNameTheFailure) {
    resource_core::BaseMsgID id(1, "VELDRA:PythonEngine", "NoSuchKey");
    id.args()[0] = std::string("x");
    EXPECT_EQ(MessageCatalog::get_message(id, KvLocale("C")), u"VELDRA:PythonEngine:NoSuchKey x");
    EXPECT_EQ(MessageCatalog::get_message(message("VELDRA:Nothing", "Key"), KvLocale("C")), u"VELDRA:Nothing:Key");
    auto catalog = MessageCatalog::GetMessageCatalog(CatalogID("VELDRA:PythonEngine"), KvLocale("C"));
    EXPECT_THROW(catalog->get("NoSuchKey"), std::out_of_range);
    EXPECT_THROW(catalog->get(""), std::out_of_range);  // the header is no message
    EXPECT_THROW(MessageCatalog::GetMessageCatalog(CatalogID("VELDRA:Nothing"), KvLocale("C")), std::runtime_error);
}

TEST(CatalogInit, WithoutCatalogsLookupsFail) {
    EXPECT_FALSE(MessageCatalog::MessageCatalogInit(u"/nonexistent/folder"));
    EXPECT_THROW(MessageCatalog::GetMessageCatalog(CatalogID("VELDRA:PythonEngine"), KvLocale("C")),
                 std::runtime_error);
    EXPECT_EQ(MessageCatalog::get_message(message("VELDRA:PythonEngine", "FevalTakes3Args"), KvLocale("C")),
              u"VELDRA:PythonEngine:FevalTakes3Args");
}

TEST(Locale, LanguageOfLocaleNames) {
    const std::pair<const char*, const char*> cases[] = {
        {"C", "en"},     {"POSIX", "en"},       {"", "en"},         {"de_DE.UTF-8", "de"},
        {"DE_de", "de"}, {"pt_BR@latin", "pt"}, {"fr.UTF-8", "fr"}, {"sv", "sv"},
    };
    for (const auto& [name, language] : cases) EXPECT_EQ(KvLocale(name).language(), language) << name;
    EXPECT_EQ(CatalogID("VELDRA:PythonEngine").domain(), "VELDRA_PythonEngine");
}

TEST(Convert, Utf8AndUtf16RoundTrip) {
    const std::string texts[] = {"", "abc", "caf\xc3\xa9", "\xf0\x9f\x98\x80 astral", std::string("nul\0in", 6)};
    for (const auto& t : texts) EXPECT_EQ(to_string(to_ustring(t)), t);
    EXPECT_EQ(to_ustring("\xf0\x9f\x98\x80").size(), 2u);  // a surrogate pair
    EXPECT_EQ(to_ustring(static_cast<const char*>(nullptr)), u"");
}

TEST(Convert, CodecvtReplacesOrRefusesLoneSurrogates) {
    const fl::ustring lone =
        u"a\xD800"
        u"b";
    EXPECT_EQ(converter::convert(codecvt_ustring_to_string("UTF-8", true), lone),
              "a\xef\xbf\xbd"
              "b");
    EXPECT_THROW(converter::convert(codecvt_ustring_to_string("UTF-8", false), lone), std::runtime_error);
    EXPECT_EQ(converter::convert(codecvt_ustring_to_string("utf8", false), u"\u00e9"), "\xc3\xa9");
    EXPECT_EQ(converter::convert(codecvt_ustring_to_string("ISO-8859-1", false), u"\u00e9"), "\xe9");
    EXPECT_THROW(converter::convert(codecvt_ustring_to_string("NO-SUCH-ENCODING", false), u"x"), std::runtime_error);
}

TEST(InstallPath, IsTheFolderOfThisProgram) {
    const std::string path = to_string(fl::filesystem::get_install_path());
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_NE(path.find("tests/cpp"), std::string::npos) << path;
}

namespace {

// A catalog written here, one message per entry, in either byte order: the
// header, the two tables, a hash table of kHashSize empty slots, the strings.
struct MoBytes {
    std::string bytes;
    bool bigEndian;

    void put(std::size_t at, std::uint32_t v) {
        for (int i = 0; i < 4; ++i)
            bytes[at + static_cast<std::size_t>(i)] = static_cast<char>(v >> (bigEndian ? 24 - 8 * i : 8 * i));
    }
};

constexpr std::size_t kHashSize = 3;

MoBytes makeMo(const std::vector<std::pair<std::string, std::string>>& entries, bool bigEndian) {
    const std::size_t n = entries.size();
    MoBytes mo{std::string(28 + 16 * n + 4 * kHashSize, '\0'), bigEndian};
    mo.put(0, 0x950412de);
    mo.put(8, static_cast<std::uint32_t>(n));
    mo.put(12, 28);
    mo.put(16, static_cast<std::uint32_t>(28 + 8 * n));
    mo.put(20, kHashSize);
    mo.put(24, static_cast<std::uint32_t>(28 + 16 * n));
    for (std::size_t i = 0; i < n; ++i) {
        const std::string* strings[] = {&entries[i].first, &entries[i].second};
        for (std::size_t t = 0; t < 2; ++t) {
            mo.put(28 + 8 * n * t + 8 * i, static_cast<std::uint32_t>(strings[t]->size()));
            mo.put(28 + 8 * n * t + 8 * i + 4, static_cast<std::uint32_t>(mo.bytes.size()));
            mo.bytes += *strings[t];
            mo.bytes += '\0';
        }
    }
    return mo;
}

// An installation folder of its own holding one catalog, VELDRA:Made in "xx".
class MadeCatalog : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/veldra-mo-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        root_ = pattern;
        std::filesystem::create_directories(root_ / "locale/xx/LC_MESSAGES");
        ASSERT_TRUE(MessageCatalog::MessageCatalogInit(to_ustring(root_.string())));
    }
    void TearDown() override { std::filesystem::remove_all(root_); }

    std::shared_ptr<const MessageCatalog> load(const std::string& bytes) {
        std::ofstream(root_ / "locale/xx/LC_MESSAGES/VELDRA_Made.mo", std::ios::binary) << bytes;
        MessageCatalog::MessageCatalogInit(to_ustring(root_.string()));  // forgets what was loaded
        return MessageCatalog::GetMessageCatalog(CatalogID("VELDRA:Made"), KvLocale("xx"));
    }

    std::filesystem::path root_;
};

const std::vector<std::pair<std::string, std::string>> kMadeEntries = {
    {"", "Content-Type: text/plain; charset=UTF-8\n"},
    {"Greeting", "Gr\xc3\xbc\xc3\x9f dich"},
    {"Files", std::string("eine Datei\0{1} Dateien", 22)},  // a plural entry: its first form
    {"Untranslated", ""},
};

}  // namespace

TEST_F(MadeCatalog, ReadsEitherByteOrder) {
    for (bool bigEndian : {false, true}) {
        auto catalog = load(makeMo(kMadeEntries, bigEndian).bytes);
        EXPECT_EQ(catalog->get("Greeting"), u"Grüß dich") << bigEndian;
        EXPECT_EQ(catalog->get("Files"), u"eine Datei") << bigEndian;
        EXPECT_THROW(catalog->get("Untranslated"), std::out_of_range) << bigEndian;
    }
}

TEST_F(MadeCatalog, RefusesCorruptFiles) {
    const std::size_t n = kMadeEntries.size();
    const std::size_t translations = 28 + 8 * n;
    const std::size_t hashTable = 28 + 16 * n;
    const std::size_t size = makeMo(kMadeEntries, false).bytes.size();
    const struct Case {
        const char* what;
        std::function<void(MoBytes&)> spoil;
    } cases[] = {
        {"no magic", [](MoBytes& m) { m.put(0, 0x12345678); }},
        {"revision 1.0", [](MoBytes& m) { m.put(4, 0x10000); }},
        {"cut in the header", [](MoBytes& m) { m.bytes.resize(20); }},
        {"cut in the tables", [&](MoBytes& m) { m.bytes.resize(translations + 4); }},
        {"cut before the last NUL", [](MoBytes& m) { m.bytes.pop_back(); }},
        {"string not ended by a NUL", [&](MoBytes& m) { m.bytes[size - 1] = 'x'; }},
        {"more strings than tables", [](MoBytes& m) { m.put(8, 0xFFFFFFFF); }},
        {"table offset past the end", [&](MoBytes& m) { m.put(16, static_cast<std::uint32_t>(size)); }},
        {"string offset past the end", [&](MoBytes& m) { m.put(translations + 12, 0xFFFFFFF0); }},
        {"string length past the end", [&](MoBytes& m) { m.put(translations + 8, 0xFFFFFFFF); }},
        {"hash table past the end", [&](MoBytes& m) { m.put(24, static_cast<std::uint32_t>(size - 2)); }},
        {"hash entry past the tables", [&](MoBytes& m) { m.put(hashTable + 4, static_cast<std::uint32_t>(n + 1)); }},
    };
    for (const auto& c : cases) {
        for (bool bigEndian : {false, true}) {
            MoBytes mo = makeMo(kMadeEntries, bigEndian);
            c.spoil(mo);
            EXPECT_THROW(load(mo.bytes), std::runtime_error) << c.what << (bigEndian ? " (big-endian)" : "");
        }
    }
    // A message from a refused catalog still says which failure happened.
    EXPECT_EQ(MessageCatalog::get_message(message("VELDRA:Made", "Greeting"), KvLocale("xx")), u"VELDRA:Made:Greeting");
}

TEST(Convert, InvalidSequencesAreDroppedWithTheUnitThatBrokeThem) {
    const std::pair<std::string, fl::ustring> narrow[] = {
        {"a\x80z", u"az"},              // stray continuation byte
        {"a\xc0\xafz", u"az"},          // overlong lead, then a stray continuation
        {"a\xe0\x80\xafz", u"az"},      // overlong three-byte form
        {"a\xed\xa0\x80z", u"az"},      // an encoded surrogate
        {"a\xf4\x90\x80\x80z", u"az"},  // past U+10FFFF
        {"a\xc3(z", u"az"},             // the '(' that broke the sequence goes too
        {"a\xe2\x82", u"a"},            // cut off by the end
    };
    for (const auto& [in, out] : narrow) EXPECT_EQ(to_ustring(in), out) << in;
    const std::pair<fl::ustring, std::string> wide[] = {
        {u"a\xDC00z", "az"},
        {u"a\xD800z", "a"},  // a high surrogate takes the unit after it along
        {u"a\xD800", "a"},
    };
    for (const auto& [in, out] : wide) EXPECT_EQ(to_string(in), out) << out;
}

TEST(Convert, CharactersOtherEncodingsLackAreDroppedOrRefused) {
    EXPECT_EQ(converter::convert(codecvt_ustring_to_string("ISO-8859-1", true), u"a\u20ac\u00e9b"),
              "a\xe9"
              "b");
    EXPECT_THROW(converter::convert(codecvt_ustring_to_string("ISO-8859-1", false), u"a\u20acb"), std::runtime_error);
    EXPECT_EQ(converter::convert(codecvt_ustring_to_string("UTF-16LE", false), u"\U0001F600"),
              std::string("\x3d\xd8\x00\xde", 4));
}
