/* Reads the version resource of the encoder DLL the way Explorer's Details
 * tab and installers do (GetFileVersionInfo, VerQueryValue) and prints it.
 * Fails unless the fixed file and product versions and the FileVersion and
 * ProductVersion strings equal the version given on the command line,
 * OriginalFilename is the DLL's own file name, LegalCopyright names the
 * MIT licence, the file type is a DLL and
 * every string is there.
 *
 * Usage: dibjpeg_version_info <DLL name> <version, e.g. 1.0.0> */
#include <stdio.h>
#include <stdlib.h>
#include <string.h>

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

static int failures = 0;

static void Fail(const char* what, const char* have, const char* want) {
  fprintf(stderr, "FAIL %s: have [%s], want [%s]\n", what, have, want);
  ++failures;
}

static void CheckFixed(const char* what, DWORD ms, DWORD ls, const unsigned want[4]) {
  char have[64], wanted[64];
  snprintf(have, sizeof have, "%u.%u.%u.%u", (unsigned)HIWORD(ms), (unsigned)LOWORD(ms), (unsigned)HIWORD(ls),
           (unsigned)LOWORD(ls));
  snprintf(wanted, sizeof wanted, "%u.%u.%u.%u", want[0], want[1], want[2], want[3]);
  printf("%-17s %s\n", what, have);
  if (strcmp(have, wanted) != 0) Fail(what, have, wanted);
}

int main(int argc, char** argv) {
  static const char* const names[] = {"CompanyName",      "FileDescription", "FileVersion", "InternalName",
                                      "LegalCopyright",   "OriginalFilename", "ProductName", "ProductVersion"};
  unsigned want[4] = {0, 0, 0, 0};
  char path[MAX_PATH], key[128], extra;
  const char* base;
  HMODULE module;
  DWORD handle = 0, size, length;
  void* data;
  VS_FIXEDFILEINFO* fixed;
  WORD* translation;
  UINT fixedSize, translationSize;
  size_t i;
  int parts;

  parts = argc == 3 ? sscanf(argv[2], "%u.%u.%u.%u%c", &want[0], &want[1], &want[2], &want[3], &extra) : 0;
  if (parts < 1 || parts > 4) {
    fprintf(stderr, "usage: dibjpeg_version_info DLL MAJOR[.MINOR[.PATCH[.TWEAK]]]\n");
    return 2;
  }
  module = LoadLibraryA(argv[1]);
  if (module == NULL) {
    fprintf(stderr, "cannot load %s (error %lu)\n", argv[1], (unsigned long)GetLastError());
    return 1;
  }
  length = GetModuleFileNameA(module, path, sizeof path);
  if (length == 0 || length >= sizeof path) {
    fprintf(stderr, "no file name for %s\n", argv[1]);
    return 1;
  }
  base = strrchr(path, '\\') != NULL ? strrchr(path, '\\') + 1 : path;
  printf("%-17s %s\n", "File", path);

  size = GetFileVersionInfoSizeA(path, &handle);
  data = size != 0 ? malloc(size) : NULL;
  if (data == NULL || !GetFileVersionInfoA(path, 0, size, data)) {
    fprintf(stderr, "%s has no version resource (error %lu)\n", path, (unsigned long)GetLastError());
    return 1;
  }
  if (!VerQueryValueA(data, "\\", (void**)&fixed, &fixedSize) || fixedSize < sizeof *fixed ||
      fixed->dwSignature != 0xFEEF04BDu) {
    fprintf(stderr, "no VS_FIXEDFILEINFO in the version resource\n");
    return 1;
  }
  CheckFixed("FILEVERSION", fixed->dwFileVersionMS, fixed->dwFileVersionLS, want);
  CheckFixed("PRODUCTVERSION", fixed->dwProductVersionMS, fixed->dwProductVersionLS, want);
  if (fixed->dwFileType != VFT_DLL) Fail("FILETYPE", "not VFT_DLL", "VFT_DLL");

  /* The strings live in the block the first translation names. */
  if (!VerQueryValueA(data, "\\VarFileInfo\\Translation", (void**)&translation, &translationSize) ||
      translationSize < 2 * sizeof(WORD)) {
    fprintf(stderr, "no translation in the version resource\n");
    return 1;
  }
  printf("%-17s %04x %u\n", "Translation", translation[0], translation[1]);
  for (i = 0; i < sizeof names / sizeof names[0]; ++i) {
    char* value = NULL;
    UINT valueSize = 0;
    snprintf(key, sizeof key, "\\StringFileInfo\\%04x%04x\\%s", translation[0], translation[1], names[i]);
    if (!VerQueryValueA(data, key, (void**)&value, &valueSize) || value == NULL || value[0] == '\0') {
      Fail(names[i], "", "a value");
      continue;
    }
    printf("%-17s %s\n", names[i], value);
    if ((strcmp(names[i], "FileVersion") == 0 || strcmp(names[i], "ProductVersion") == 0) &&
        strcmp(value, argv[2]) != 0)
      Fail(names[i], value, argv[2]);
    if (strcmp(names[i], "OriginalFilename") == 0 && strcmp(value, base) != 0) Fail(names[i], value, base);
    if (strcmp(names[i], "LegalCopyright") == 0 && strstr(value, "MIT licence") == NULL)
      Fail(names[i], value, "... MIT licence");
  }
  free(data);
  return failures == 0 ? 0 : 1;
}
