/*
 * A 32-bit Windows host of PELMORAERRI.dll, as a host program of the programmer uses it: the
 * library is loaded with LoadLibraryA and every export is looked up by its name and by its
 * ordinal (both must give the same function), then called through stdcall function pointers.
 * Each call is also made through a small assembler thunk that measures the stack pointer around
 * the call: a stdcall function removes its own arguments, so the stack must come back exactly
 * where it was before the arguments were pushed.
 *
 * Usage: PelmoraHost.exe <library>   Prints one line per case and "N passed, N failed".
 */
#include <stdio.h>
#include <string.h>
#include <windows.h>

typedef const char*(__stdcall* ErrorText2)(unsigned int code, unsigned int language);
typedef const char*(__stdcall* ErrorText1)(unsigned int code);
typedef const char*(__stdcall* PacketText)(const unsigned char* packet);

#if defined(__i386__)
/* Pushes argc 32-bit arguments (right to left), calls fn, and stores in *leftOnStack the
 * number of argument bytes the callee did not remove. Returns the callee's EAX. */
const char* CallMeasured(FARPROC fn, int argc, const unsigned int* args, int* leftOnStack);
__asm__(
    ".text\n"
    ".globl _CallMeasured\n"
    "_CallMeasured:\n"
    "  pushl %ebp\n"
    "  movl %esp, %ebp\n"
    "  pushl %esi\n"
    "  movl 12(%ebp), %ecx\n"
    "  movl 16(%ebp), %edx\n"
    "  movl %esp, %esi\n"
    "1:\n"
    "  testl %ecx, %ecx\n"
    "  jz 2f\n"
    "  pushl -4(%edx,%ecx,4)\n"
    "  decl %ecx\n"
    "  jmp 1b\n"
    "2:\n"
    "  call *8(%ebp)\n"
    "  movl %esi, %ecx\n"
    "  subl %esp, %ecx\n"
    "  movl 20(%ebp), %edx\n"
    "  movl %ecx, (%edx)\n"
    "  movl %esi, %esp\n"
    "  popl %esi\n"
    "  popl %ebp\n"
    "  ret\n");
#define STACK_BALANCE_CHECKED 1
#else
/* x64 has one calling convention, in which the caller always removes what it passed. */
#define STACK_BALANCE_CHECKED 0
#endif

struct Export {
    const char* name;
    WORD ordinal;
    int argc;
};

static const struct Export kExports[] = {
    {"GetPktFExStatuInfomationStrRT", 1, 1},        {"GetPktFDxStatuInfomationStrRT", 2, 1},
    {"GetPktFCxStatuInfomationStrRT", 3, 1},        {"GetPktFBxStatuInfomationStrRT", 4, 1},
    {"GetPktFAxStatuInfomationStrRT", 5, 1},        {"GetStatuInfomationStrRT", 6, 1},
    {"GetChineseErrorMessageinformationRTX", 7, 1}, {"GetEglishErrorMessageinformationRTX", 8, 1},
    {"GetErrorMessageinformationRTX", 9, 2},
};

/* One call: the export (by ordinal), its arguments (a packet is passed by address) and the
 * exact bytes of the text it must return. */
struct Case {
    WORD ordinal;
    unsigned int code;
    unsigned int language;
    const unsigned char* packet;
    const char* text;
};

static const unsigned char kPowerOn[] = {0xFD, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF9};
static const unsigned char kPowerOnBadCheck[] = {0xFD, 0x0A, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8};
static const unsigned char kCrc16Result[] = {0xFD, 0xF0, 0x06, 0x34, 0x12, 0x78, 0x56, 0xF9};
static const unsigned char kTypeZero[] = {0x00, 0x0A, 0, 0, 0, 0, 0, 0};
static const unsigned char kTypeFC[] = {0xFC, 0x01, 0x02, 0x03, 0, 0, 0, 0};
static const unsigned char kTypeFE[] = {0xFE, 0x01, 0x02, 0x03, 0, 0, 0, 0};
static const unsigned char kUnlockTimeOut[] = {0xFA, 0x40};
static const unsigned char kUnlockOtherWithTypeZero[] = {0x00, 0xC3};
static const unsigned char kChipUid[] = {0xFB, 0xA5, 0x04, 0x12, 0x34, 0xAB, 0xCD};

static const struct Case kCases[] = {
    /* Error texts: English, Chinese (code page 936), selector and code in their low 16 bits. */
    {9, 0x1107, 4, NULL, "\xB2\xE9  \xBF\xD5\xA3\xBA\xD0\xBE\xC6\xAC\xCE\xDE\xCF\xEC\xD3\xA6!"},
    {9, 0x11107, 0x10004, NULL,
     "\xB2\xE9  \xBF\xD5\xA3\xBA\xD0\xBE\xC6\xAC\xCE\xDE\xCF\xEC\xD3\xA6!"},
    {9, 0x1107, 0x0804, NULL, "BLKC: Chip no Response!"},
    {9, 0x1107, 0, NULL, "BLKC: Chip no Response!"},
    {8, 0x4050, 0, NULL, "Error: Operation time out!"},
    {8, 0x8123, 0, NULL, "Error: Chip Return Error Code=0x0123."},
    {8, 0x103E, 0, NULL,
     "INIT\xA3\xBA"
     "Device Error\xA3\xA1"},
    {7, 0x4010, 0, NULL,
     "Error: \xB4\xF2\xBF\xAA"
     "COM\xBF\xDA\xB4\xED\xCE\xF3!"},
    {7, 0x103E, 0, NULL,
     "\xB3\xF5\xCA\xBC\xBB\xAF\xA3\xBA\xC9\xE8\xB1\xB8\xB2\xBB\xD5\xFD\xC8\xB7\xBB\xF2\xB2\xBB"
     "\xB4\xE6\xD4\xDA!"},
    /* Status texts. */
    {6, 0, 0, kPowerOn, "Power On Self Data Checking......"},
    {6, 0, 0, kTypeZero, "Unkow Information!"},
    {6, 0, 0, kTypeFC, ""},
    {6, 0, 0, kTypeFE, ""},
    {5, 0, 0, kUnlockTimeOut, "No AES Keys Reseived, TmeOut!"},
    {5, 0, 0, kUnlockOtherWithTypeZero, "Else Statu Received : C3"},
    {4, 0, 0, kChipUid, "Chip UID : 12 34 AB CD"},
    {3, 0, 0, kPowerOn, ""},
    {2, 0, 0, kCrc16Result, "Progrmming Completed : Successed!, Chip CRC16=0x1234,ACC16=0x5678."},
    {2, 0, 0, kPowerOnBadCheck, ""},
    {1, 0, 0, kCrc16Result, ""},
};

static int passed = 0;
static int failed = 0;

static void Check(int ok, const char* what, const char* detail) {
    if (ok) {
        ++passed;
    } else {
        ++failed;
        printf("FAIL %s: %s\n", what, detail);
    }
}

static void PrintBytes(char* out, size_t size, const char* text) {
    size_t used = 0;
    out[0] = 0;
    for (; text != NULL && *text != 0 && used + 4 < size; ++text)
        used += (size_t)snprintf(out + used, size - used, "%02X ", (unsigned char)*text);
}

static FARPROC ByOrdinal(HMODULE library, WORD ordinal) {
    return GetProcAddress(library, (LPCSTR)(ULONG_PTR)ordinal);
}

/* The same call through a typed stdcall pointer, as a host written in C makes it. */
static const char* CallTyped(FARPROC fn, const struct Case* c) {
    switch (c->ordinal) {
        case 9:
            return ((ErrorText2)(void*)fn)(c->code, c->language);
        case 8:
        case 7:
            return ((ErrorText1)(void*)fn)(c->code);
        default:
            return ((PacketText)(void*)fn)(c->packet);
    }
}

int main(int argc, char** argv) {
    if (argc != 2) {
        printf("usage: PelmoraHost <library>\n");
        return 2;
    }
    HMODULE library = LoadLibraryA(argv[1]);
    if (library == NULL) {
        printf("FAIL LoadLibraryA(%s): error %lu\n", argv[1], GetLastError());
        printf("0 passed, 1 failed\n");
        return 1;
    }

    char detail[512];
    for (size_t i = 0; i < sizeof kExports / sizeof kExports[0]; ++i) {
        const struct Export* e = &kExports[i];
        FARPROC byName = GetProcAddress(library, e->name);
        FARPROC byOrdinal = ByOrdinal(library, e->ordinal);
        snprintf(detail, sizeof detail, "ordinal %u: by name %p, by ordinal %p", e->ordinal,
                 (void*)byName, (void*)byOrdinal);
        Check(byName != NULL && byName == byOrdinal, e->name, detail);
        /* Decorated names must not be exported as well. */
        char decorated[64];
        snprintf(decorated, sizeof decorated, "%s@%d", e->name, 4 * e->argc);
        Check(GetProcAddress(library, decorated) == NULL, decorated, "exported decorated");
    }
    Check(ByOrdinal(library, 10) == NULL, "ordinal 10", "exported");

    for (size_t i = 0; i < sizeof kCases / sizeof kCases[0]; ++i) {
        const struct Case* c = &kCases[i];
        const struct Export* e = &kExports[c->ordinal - 1];
        FARPROC fn = ByOrdinal(library, c->ordinal);
        char what[96];
        snprintf(what, sizeof what, "case %u %s", (unsigned)i, e->name);
        if (fn == NULL) {
            Check(0, what, "no such export");
            continue;
        }
        const char* text = CallTyped(fn, c);
#if STACK_BALANCE_CHECKED
        unsigned int args[2];
        if (c->ordinal >= 7) {
            args[0] = c->code;
            args[1] = c->language;
        } else {
            args[0] = (unsigned int)(ULONG_PTR)c->packet;
        }
        int leftOnStack = -1;
        const char* measured = CallMeasured(fn, e->argc, args, &leftOnStack);
        snprintf(detail, sizeof detail, "%d argument bytes left on the stack", leftOnStack);
        Check(leftOnStack == 0, what, detail);
        /* Both calls must give the text: the measured one is checked once the typed one is right. */
        text = strcmp(text != NULL ? text : "", c->text) == 0 ? measured : text;
#endif

        char got[256];
        char want[256];
        PrintBytes(got, sizeof got, text);
        PrintBytes(want, sizeof want, c->text);
        snprintf(detail, sizeof detail, "got [%s] want [%s]", got, want);
        Check(text != NULL && strcmp(text, c->text) == 0, what, detail);
    }

    /* An error text stays valid across status calls of the same thread. */
    FARPROC english = GetProcAddress(library, "GetEglishErrorMessageinformationRTX");
    FARPROC status = GetProcAddress(library, "GetStatuInfomationStrRT");
    if (english != NULL && status != NULL) {
        const char* error = ((ErrorText1)(void*)english)(0x4050);
        ((PacketText)(void*)status)(kPowerOn);
        Check(strcmp(error, "Error: Operation time out!") == 0, "error text after a status call",
              error);
    } else {
        Check(0, "error text after a status call", "exports missing");
    }

    FreeLibrary(library);
    printf("%d passed, %d failed\n", passed, failed);
    return failed == 0 ? 0 : 1;
}
