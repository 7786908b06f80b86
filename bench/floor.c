/* The floor for reading a log the way ZUB must: one read of at most 128
 * bytes after the other until the end, and nothing else.
 *
 *   floor LOG [--count | --noatime]
 *
 * With --count it prints the number of bytes it read. With --noatime it
 * opens the log as ZUB does on Linux: asking the system not to update the
 * access time, which takes a little of the cost of every read away. */
#define _GNU_SOURCE
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  const char* option = argc > 2 ? argv[2] : "";
  int fd = -1;
#ifdef O_NOATIME
  if (strcmp(option, "--noatime") == 0) fd = open(argv[1], O_RDONLY | O_NOATIME);
#endif
  if (fd < 0) fd = open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  char buffer[128];
  long long total = 0;
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) total += got;
  if (got < 0) return 1;
  if (strcmp(option, "--count") == 0) printf("%lld\n", total);
  return 0;
}
