/* A minimal C host: links the installed engine and asks it the questions
 * that need no initialisation. Built outside the engine's own build, either
 * with find_package(marovel_audio) or with pkg-config. */
#include <marovel_audio.h>
#include <stdio.h>

int main(void) {
    static const int codes[] = {MV_OK, MV_ERROR_NO_MEMORY, MV_ERROR_NOT_INITIALIZED,
                                MV_ERROR_NULL_POINTER, MV_ERROR_SAMPLE_FORMAT};
    int format;
    size_t i;

    printf("marovel_audio version %d, %s-endian\n", mvGetVersion(),
           mvIsLittleEndian() ? "little" : "big");
    for (i = 0; i < sizeof codes / sizeof codes[0]; ++i)
        printf("status %d: %s\n", codes[i], mvGetErrorString(codes[i]));
    for (format = MV_FORMAT_FLOAT32; format <= MV_FORMAT_UINT8; ++format)
        printf("format %d: %s, %d bytes\n", format, mvGetSampleFormatName(format),
               mvGetSampleSize(format));
    return mvGetVersion() == 4 ? 0 : 1;
}
