// Message catalogs, locales and text conversion.
#include <fl/filesystem/install_path.hpp>
#include <fl/i18n/catalog.hpp>
#include <fl/i18n/convert.hpp>

#include <gtest/gtest.h>

#include <string>

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

resource_core::BaseMsgID message(const char* catalog, const char* key) { return {0, catalog, key}; }

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
        EXPECT_EQ(MessageCatalog::get_message(message("VELDRA:PythonEngine", "MessageIDShouldBeStr"),
                                              KvLocale(c.locale)),
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
    EXPECT_EQ(MessageCatalog::get_message(message("VELDRA:Nothing", "Key"), KvLocale("C")),
              u"VELDRA:Nothing:Key");
    auto catalog = MessageCatalog::GetMessageCatalog(CatalogID("VELDRA:PythonEngine"), KvLocale("C"));
    EXPECT_THROW(catalog->get("NoSuchKey"), std::out_of_range);
    EXPECT_THROW(catalog->get(""), std::out_of_range);  // the header is no message
    EXPECT_THROW(MessageCatalog::GetMessageCatalog(CatalogID("VELDRA:Nothing"), KvLocale("C")),
                 std::runtime_error);
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
        {"C", "en"}, {"POSIX", "en"}, {"", "en"}, {"de_DE.UTF-8", "de"},
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
    const fl::ustring lone = u"a\xD800" u"b";
    EXPECT_EQ(converter::convert(codecvt_ustring_to_string("UTF-8", true), lone), "a\xef\xbf\xbd" "b");
    EXPECT_THROW(converter::convert(codecvt_ustring_to_string("UTF-8", false), lone), std::runtime_error);
    EXPECT_EQ(converter::convert(codecvt_ustring_to_string("utf8", false), u"\u00e9"), "\xc3\xa9");
    EXPECT_EQ(converter::convert(codecvt_ustring_to_string("ISO-8859-1", false), u"\u00e9"), "\xe9");
    EXPECT_THROW(converter::convert(codecvt_ustring_to_string("NO-SUCH-ENCODING", false), u"x"),
                 std::runtime_error);
}

TEST(InstallPath, IsTheFolderOfThisProgram) {
    const std::string path = to_string(fl::filesystem::get_install_path());
    ASSERT_FALSE(path.empty());
    EXPECT_EQ(path.front(), '/');
    EXPECT_NE(path.find("tests/cpp"), std::string::npos) << path;
}
