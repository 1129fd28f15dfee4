#include <fl/i18n/catalog.hpp>
#include <fl/i18n/convert.hpp>

#include "mo_file.hpp"

#include <sys/stat.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <mutex>
#include <stdexcept>
#include <utility>

namespace fl::i18n {

namespace {

const char* const kFallbackLanguage = "en";

std::string environmentLocale() {
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = std::getenv(name);
        if (value && *value) return value;
    }
    return "C";
}

bool isFile(const std::string& path) {
    struct stat st{};
    return ::stat(path.c_str(), &st) == 0 && S_ISREG(st.st_mode);
}

struct Registry {
    std::mutex mutex;
    bool initialised = false;
    std::string localeDir;  // <install>/locale
    std::map<std::pair<std::string, std::string>, std::shared_ptr<const MessageCatalog>> catalogs;
};

Registry& registry() {
    static Registry r;
    return r;
}

std::string formatNumber(double value) {
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%.15g", value);
    return buffer;
}

fl::ustring argumentText(const MessageArgument& arg) {
    if (auto s = std::get_if<std::string>(&arg)) return to_ustring(*s);
    if (auto w = std::get_if<fl::ustring>(&arg)) return *w;
    return to_ustring(formatNumber(std::get<double>(arg)));
}

// Fills {1}, {2}, ... with the arguments; "{{" stands for "{".  A placeholder
// without an argument is left as it is.
fl::ustring fillArguments(const fl::ustring& text, const std::vector<MessageArgument>& args) {
    fl::ustring out;
    out.reserve(text.size());
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char16_t c = text[i];
        if (c == u'{' && i + 1 < text.size() && text[i + 1] == u'{') {
            out += u'{';
            ++i;
            continue;
        }
        if (c == u'{') {
            std::size_t j = i + 1;
            std::size_t number = 0;
            while (j < text.size() && text[j] >= u'0' && text[j] <= u'9' && j - i < 6)
                number = number * 10 + static_cast<std::size_t>(text[j++] - u'0');
            if (j > i + 1 && j < text.size() && text[j] == u'}' && number >= 1 && number <= args.size()) {
                out += argumentText(args[number - 1]);
                i = j;
                continue;
            }
        }
        out += c;
    }
    return out;
}

}  // namespace

// ---- locale -------------------------------------------------------------------

KvLocale::KvLocale(std::string name) : name_(std::move(name)) {}

const KvLocale& KvLocale::global() {
    static const KvLocale locale(environmentLocale());
    return locale;
}

std::string KvLocale::language() const {
    std::string lang = name_.substr(0, name_.find_first_of("_.@"));
    if (lang.empty() || lang == "C" || lang == "POSIX") return kFallbackLanguage;
    for (char& ch : lang)
        if (ch >= 'A' && ch <= 'Z') ch = static_cast<char>(ch - 'A' + 'a');
    return lang;
}

std::string CatalogID::domain() const {
    std::string d = name_;
    for (char& c : d)
        if (c == ':') c = '_';
    return d;
}

// ---- catalogs -------------------------------------------------------------------

struct CatalogTexts {
    MoTexts texts;
};

MessageCatalog::MessageCatalog(std::string language, std::string domain, std::unique_ptr<CatalogTexts> texts)
    : language_(std::move(language)), domain_(std::move(domain)), texts_(std::move(texts)) {}

MessageCatalog::~MessageCatalog() = default;

fl::ustring MessageCatalog::get(const std::string& key) const {
    // The empty id holds the catalog's header, not a message.  Like a C
    // string, a key ends at its first NUL.
    const auto found = key.empty() ? texts_->texts.end() : texts_->texts.find(std::string(key.c_str()));
    if (found == texts_->texts.end()) throw std::out_of_range("no message " + key + " in catalog " + domain_);
    return to_ustring(found->second);
}

bool MessageCatalog::MessageCatalogInit(const fl::ustring& installPath) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    r.localeDir = to_string(installPath) + "/locale";
    r.catalogs.clear();
    struct stat st{};
    r.initialised = ::stat(r.localeDir.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
    return r.initialised;
}

std::shared_ptr<const MessageCatalog> MessageCatalog::GetMessageCatalog(const CatalogID& id, const KvLocale& locale) {
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (!r.initialised) throw std::runtime_error("the message catalogs are not initialised");

    const std::string domain = id.domain();
    std::string language = locale.language();
    if (!isFile(r.localeDir + "/" + language + "/LC_MESSAGES/" + domain + ".mo")) language = kFallbackLanguage;
    const auto cacheKey = std::make_pair(domain, language);
    if (auto found = r.catalogs.find(cacheKey); found != r.catalogs.end()) return found->second;

    const std::string file = r.localeDir + "/" + language + "/LC_MESSAGES/" + domain + ".mo";
    if (!isFile(file)) throw std::runtime_error("no message catalog " + id.name());

    // A catalog that cannot be read is refused (and not cached).
    auto texts = std::make_unique<CatalogTexts>(CatalogTexts{readMoFile(file)});

    auto catalog = std::make_shared<const MessageCatalog>(language, domain, std::move(texts));
    r.catalogs.emplace(cacheKey, catalog);
    return catalog;
}

fl::ustring MessageCatalog::get_message(const resource_core::BaseMsgID& id, const KvLocale& locale) {
    fl::ustring text;
    try {
        text = GetMessageCatalog(CatalogID(id.catalog()), locale)->get(id.key());
    } catch (const std::exception&) {
        // Without its text, a message still says which failure happened.
        text = to_ustring(id.catalog() + ":" + id.key());
        for (std::size_t i = 1; i <= id.args().size(); ++i) text += u" {" + to_ustring(std::to_string(i)) + u"}";
    }
    return fillArguments(text, id.args());
}

}  // namespace fl::i18n
