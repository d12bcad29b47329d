#pragma once
// The format attribute of printf-style functions. mingw-w64 checks plain `printf` against the
// Windows runtime's printf, which lacks %zu and %td; the project builds with mingw's own C99
// printf there (__USE_MINGW_ANSI_STDIO), which `gnu_printf` describes.

#if defined(__MINGW32__) && !defined(__clang__)
#define POW2BMP_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(gnu_printf, formatIndex, firstArgument)))
#else
#define POW2BMP_PRINTF_FORMAT(formatIndex, firstArgument) \
  __attribute__((format(printf, formatIndex, firstArgument)))
#endif
