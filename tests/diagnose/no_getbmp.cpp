// Named like the photo decoder library, but without GetBmp.
extern "C" __attribute__((visibility("default"))) int GetBitmap(char*, int) {
  return 1;
}
