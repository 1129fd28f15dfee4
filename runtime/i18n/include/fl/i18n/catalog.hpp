#pragma once
// Message catalogs.
//
// A catalog is named like "VELDRA:PythonEngine"; its texts live in the gettext
// file <install>/locale/<language>/LC_MESSAGES/VELDRA_PythonEngine.mo, keyed by
// the message key.  Arguments are written {1}, {2}, ... in the texts.  The
// global locale follows LC_ALL, LC_MESSAGES and LANG, in that order; a
// language without a catalog falls back to English.
#include <fl/ustring.hpp>

#include <cstdint>
#include <memory>
#include <string>
#include <variant>
#include <vector>

namespace fl::i18n {

// One argument of a message: narrow text (UTF-8), wide text or a number.
using MessageArgument = std::variant<std::string, fl::ustring, double>;

class KvLocale {
public:
    explicit KvLocale(std::string name);
    // The process's global locale, read from the environment once.
    static const KvLocale& global();
    // "de_DE.UTF-8" and the like; "C" when nothing is set.
    const std::string& name() const noexcept { return name_; }
    // The language part: "de", "en"...
    std::string language() const;

private:
    std::string name_;
};

class CatalogID {
public:
    explicit CatalogID(std::string name) : name_(std::move(name)) {}
    const std::string& name() const noexcept { return name_; }
    // The gettext domain: the name with ':' replaced by '_'.
    std::string domain() const;

private:
    std::string name_;
};

}  // namespace fl::i18n

namespace resource_core {
// One message to look up: its arguments, its catalog and its key.
class BaseMsgID {
public:
    BaseMsgID(std::size_t nargs, std::string catalog, std::string key)
        : args_(nargs), catalog_(std::move(catalog)), key_(std::move(key)) {}
    std::vector<fl::i18n::MessageArgument>& args() noexcept { return args_; }
    const std::vector<fl::i18n::MessageArgument>& args() const noexcept { return args_; }
    const std::string& catalog() const noexcept { return catalog_; }
    const std::string& key() const noexcept { return key_; }

private:
    std::vector<fl::i18n::MessageArgument> args_;
    std::string catalog_;
    std::string key_;
};
}  // namespace resource_core

namespace fl::i18n {

struct CatalogTexts;

class MessageCatalog {
public:
    // Points the catalogs at an installation folder.  False when the folder
    // holds no catalogs; messages are then looked up in vain (see get_message).
    static bool MessageCatalogInit(const fl::ustring& installPath);
    // The catalog for an id in a locale.  Throws std::runtime_error when the
    // catalogs were not initialised or hold no such catalog.
    static std::shared_ptr<const MessageCatalog> GetMessageCatalog(const CatalogID& id, const KvLocale& locale);
    // The text of a message with its arguments filled in.  A message that
    // cannot be found yields "<catalog>:<key>" followed by its arguments, so a
    // missing catalog never hides which failure happened.
    static fl::ustring get_message(const resource_core::BaseMsgID& id, const KvLocale& locale);

    // The text of a key, arguments not filled in.  Throws std::out_of_range
    // for a key the catalog does not hold.
    fl::ustring get(const std::string& key) const;
    const std::string& language() const noexcept { return language_; }

    MessageCatalog(std::string language, std::string domain, std::unique_ptr<CatalogTexts> texts);
    ~MessageCatalog();

private:
    std::string language_;
    std::string domain_;
    std::unique_ptr<CatalogTexts> texts_;
};

}  // namespace fl::i18n
