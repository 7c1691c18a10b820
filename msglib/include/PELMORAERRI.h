/*
 * PELMORAERRI: text for the error codes and status packets of the device programmer.
 *
 * Every function returns a pointer to a NUL-terminated 8-bit string that the library keeps per
 * calling thread: an error text stays valid until the same thread calls one of the three error
 * functions again, a status text until the same thread calls one of the six status functions
 * again. The pointer is never null. Chinese texts and full-width punctuation are code page 936
 * (GBK) bytes; everything else is ASCII.
 *
 * A packet is the unframed packet as received, type byte first. The caller passes at least the
 * bytes its decoder reads: 1 byte for GetStatuInfomationStrRT with a type it does not decode,
 * 2 for the 0xFA decoder, 3 plus the count in byte 2 for the 0xFB decoder, 8 for the 0xFD
 * decoder. A null packet pointer gives the empty string.
 */
#ifndef PELMORAERRI_H
#define PELMORAERRI_H

/* The 32-bit Windows library uses the stdcall convention of the Windows system interface. */
#if defined(_WIN32) && !defined(_WIN64)
#define PELMORAERRI_CALL __stdcall
#else
#define PELMORAERRI_CALL
#endif

/* On POSIX the library is built with hidden visibility; only these nine names are exported. */
#if defined(_WIN32)
#define PELMORAERRI_API
#elif defined(__GNUC__)
#define PELMORAERRI_API __attribute__((visibility("default")))
#else
#define PELMORAERRI_API
#endif

/* Language selector of GetErrorMessageinformationRTX: 4 (low 16 bits) selects Chinese. */
#define PELMORAERRI_LANG_CHINESE 4

#ifdef __cplusplus
extern "C" {
#endif

/* Error text of a 16-bit code (low 16 bits of code are used); Chinese when the low 16 bits of
 * language are 4, English otherwise. */
PELMORAERRI_API const char* PELMORAERRI_CALL GetErrorMessageinformationRTX(unsigned int code,
                                                                           unsigned int language);
PELMORAERRI_API const char* PELMORAERRI_CALL GetEglishErrorMessageinformationRTX(unsigned int code);
PELMORAERRI_API const char* PELMORAERRI_CALL
GetChineseErrorMessageinformationRTX(unsigned int code);

/* Status text of a packet chosen by its type byte; "Unkow Information!" for an unknown type. */
PELMORAERRI_API const char* PELMORAERRI_CALL GetStatuInfomationStrRT(const unsigned char* packet);
/* The per-type decoders do not look at the type byte. */
PELMORAERRI_API const char* PELMORAERRI_CALL
GetPktFAxStatuInfomationStrRT(const unsigned char* packet);
PELMORAERRI_API const char* PELMORAERRI_CALL
GetPktFBxStatuInfomationStrRT(const unsigned char* packet);
PELMORAERRI_API const char* PELMORAERRI_CALL
GetPktFCxStatuInfomationStrRT(const unsigned char* packet);
PELMORAERRI_API const char* PELMORAERRI_CALL
GetPktFDxStatuInfomationStrRT(const unsigned char* packet);
PELMORAERRI_API const char* PELMORAERRI_CALL
GetPktFExStatuInfomationStrRT(const unsigned char* packet);

#ifdef __cplusplus
}
#endif

#endif /* PELMORAERRI_H */
