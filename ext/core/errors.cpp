#include <core/errors.hpp>
#include <core/text.hpp>

namespace veldra {

#ifdef VELDRA_PY2
// The 2.7 build raises byte strings: the narrow form of a wide text, and a
// narrow text as it is.
void setErrorFromText(PyObject* cls, const fl::ustring& text) {
    std::string narrow;
    try {
        narrow = fl::i18n::to_string(text);
    } catch (const std::exception&) {
        narrow = "(the message text could not be converted)";
    }
    PyErr_SetString(cls, narrow.c_str());
}

void setErrorFromNarrowText(PyObject* cls, const std::string& text) {
    PyErr_SetString(cls, text.c_str());
}
#else
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
#endif

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

PyObject* getMessageImpl(PyObject*, PyObject* args) {
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
#ifdef VELDRA_PY2
    std::string narrow;
    try {
        narrow = fl::i18n::to_string(text);
    } catch (const std::exception&) {
        narrow = "unknown error";
    }
    return PyString_FromStringAndSize(narrow.data(), static_cast<Py_ssize_t>(narrow.size()));
#else
    return engineTextToStr(text);
#endif
}

}  // namespace veldra
