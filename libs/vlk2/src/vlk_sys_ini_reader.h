// internal: not installed. Our own INI reader, behind Cvlk_ini_file's
// character-buffer ReadStr.
#ifndef VLK_SYS_INI_READER_H
#define VLK_SYS_INI_READER_H

#include <QByteArray>

namespace vlk_ini {

// The value of key in group (an empty group: the keys outside any section) of
// the INI file fileName, in the file's encoding. False when the file cannot be
// read or has no such key.
bool Lookup(const char* fileName, const QByteArray& group, const QByteArray& key, QByteArray& value);

// The same lookup over the bytes of an INI file already in memory: false when
// data has no such key.
bool LookupIn(const QByteArray& data, const QByteArray& group, const QByteArray& key, QByteArray& value);

}  // namespace vlk_ini

#endif  // VLK_SYS_INI_READER_H
