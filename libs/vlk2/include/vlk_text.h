// vlk_text.h: string classes, character-string functions, conversions, Base64,
// CRC-32, MD5, SHA-1, HMAC-SHA1, dates and times, telephone numbers.
#ifndef VLK_TEXT_H
#define VLK_TEXT_H

#include "vlk_base.h"

#endif  // VLK_TEXT_H
