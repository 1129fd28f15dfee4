#pragma once
// What the module takes from the internationalisation library:
//   fl::filesystem::get_install_path()                the installation folder;
//   fl::i18n::MessageCatalog::MessageCatalogInit      points the catalogs at it;
//   fl::i18n::MessageCatalog::get_message / GetMessageCatalog / get
//                                                     message texts by key;
//   fl::i18n::KvLocale::global()                      the global locale;
//   resource_core::BaseMsgID                          the message identifier record;
//   fl::i18n::to_ustring, codecvt_ustring_to_string,
//   converter::convert                                UTF-8 <-> UTF-16.
#include <fl/filesystem/install_path.hpp>
#include <fl/i18n/catalog.hpp>
#include <fl/i18n/convert.hpp>
