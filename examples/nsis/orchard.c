/* Orchard: the small program that the example installer installs. It only
   says what it is; the installer's call to OrvoComm.dll is the point. */
#include <stdio.h>

int main(void) {
  puts("Orchard 2.4.1: an example program of the Tamsiver suite");
  return 0;
}
