#include <module/errors.hpp>
#include <module/text.hpp>

namespace veldra {

void setErrorFromText(PyObject* cls, const fl::ustring& text) {
    std::string utf8;
    try {
        fl::i18n::codecvt_ustring_to_string cvt("UTF-8", true);
        utf8 = fl::i18n::converter::convert(cvt, text);
    } catch (const std::exception&) {
        utf8 = "(the message text could not be converted)";
    }
    PyErr_SetString(cls, utf8.c_str());
}

void setErrorFromNarrowText(PyObject* cls, const std::string& text) {
    fl::ustring wide;
    try {
        wide = fl::i18n::to_ustring(text);
    } catch (const std::exception&) {
        PyErr_SetString(cls, text.c_str());
        return;
    }
    setErrorFromText(cls, wide);
}

void setErrorFromMessage(PyObject* cls, const MessageId& id) {
    fl::ustring text;
    try {
        text = fl::i18n::MessageCatalog::get_message(id, fl::i18n::KvLocale::global());
    } catch (const std::exception&) {
        // A lookup that fails outright still names the failure.
        PyErr_SetString(cls, (id.catalog() + ":" + id.key()).c_str());
        return;
    }
    setErrorFromText(cls, text);
}

PyObject* getMessage(PyObject*, PyObject* args) {
    const char* key = nullptr;
    if (!PyArg_ParseTuple(args, "s", &key)) {
        setErrorFromMessage(PyExc_TypeError, msg::engine::MessageIDShouldBeStr());
        return nullptr;
    }
    fl::ustring text;
    try {
        const fl::i18n::CatalogID catalog(kEngineCatalog);
        text = fl::i18n::MessageCatalog::GetMessageCatalog(catalog, fl::i18n::KvLocale::global())->get(key);
    } catch (...) {
        text = fl::i18n::to_ustring("unknown error");
    }
    return engineTextToStr(text);
}

}  // namespace veldra
