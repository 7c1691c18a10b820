/* Prints the English text of an error code and the status text of a packet, as a host program
 * of the programmer would put them into its own log. Usage: pelmora_c_host [code] */
#include <PELMORAERRI.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

int main(int argc, char** argv) {
    unsigned int code = argc > 1 ? (unsigned int)strtoul(argv[1], NULL, 0) : 0x1107u;

    /* A result packet: programming succeeded, CRC16 0x1234, ACC16 0x5678. */
    const unsigned char result[8] = {0xFD, 0xF0, 0x06, 0x34, 0x12, 0x78, 0x56, 0xF9};

    /* Each text lives until the next call of its group on this thread: copy it to keep it. */
    char error[256];
    strncpy(error, GetEglishErrorMessageinformationRTX(code), sizeof error - 1);
    error[sizeof error - 1] = '\0';

    const char* status = GetStatuInfomationStrRT(result);
    const char* chinese = GetErrorMessageinformationRTX(code, PELMORAERRI_LANG_CHINESE);

    printf("error 0x%04X: %s\n", code, error);
    printf("status: %s\n", status);
    printf("chinese bytes: %u\n", (unsigned)strlen(chinese));
    return 0;
}
