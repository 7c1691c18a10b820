/*
 * A host of PELMORAERRI.dll built for the Visual C++ ABI without any Visual C++ file: clang
 * compiles it for *-pc-windows-msvc, lld-link links it against the package's PELMORAERRI.lib and
 * against import libraries of msvcrt.dll and kernel32.dll made from a few-line .def. It declares
 * the few system functions it calls itself and starts at HostMain, with no C runtime start-up.
 *
 * Through the header, a Win32 build calls the stdcall names _Name@4 that PELMORAERRI.lib must
 * resolve; it also looks up the English error text by ordinal, as the Windows page shows.
 */
#include <PELMORAERRI.h>

typedef void* HostModule;
__declspec(dllimport) int __cdecl printf(const char* format, ...);
__declspec(dllimport) int __cdecl fflush(void* stream);
__declspec(dllimport) HostModule __stdcall GetModuleHandleA(const char* name);
__declspec(dllimport) void* __stdcall GetProcAddress(HostModule module, const char* name);
__declspec(dllimport) __declspec(noreturn) void __stdcall ExitProcess(unsigned int code);

typedef const char*(PELMORAERRI_CALL* ErrorText)(unsigned int code);

/* GetProcAddress takes an ordinal in place of a name, as MAKEINTRESOURCE(8) gives it. */
#define ORDINAL_ENGLISH_ERROR_TEXT ((const char*)(__UINTPTR_TYPE__)8)

void __cdecl HostMain(void) {
    /* A result packet: programming succeeded, CRC16 0x1234, ACC16 0x5678. */
    static const unsigned char result[8] = {0xFD, 0xF0, 0x06, 0x34, 0x12, 0x78, 0x56, 0xF9};

    printf("error 0x%04X: %s\n", 0x4010u, GetEglishErrorMessageinformationRTX(0x4010));
    printf("status: %s\n", GetStatuInfomationStrRT(result));

    ErrorText byOrdinal = (ErrorText)GetProcAddress(GetModuleHandleA("PELMORAERRI.dll"),
                                                    ORDINAL_ENGLISH_ERROR_TEXT);
    unsigned int status = 0;
    if (byOrdinal) {
        printf("ordinal 8: %s\n", byOrdinal(0x1107));
    } else {
        printf("ordinal 8: not exported\n");
        status = 1;
    }
    fflush(0);
    ExitProcess(status);
}
