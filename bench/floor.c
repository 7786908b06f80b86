/* The floor for reading a log the way ZUB must: one read of at most 128
 * bytes after the other until the end, and nothing else.
 *
 *   floor LOG [--count]
 *
 * With --count it prints the number of bytes it read. */
#include <fcntl.h>
#include <stdio.h>
#include <string.h>
#include <unistd.h>

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  int fd = open(argv[1], O_RDONLY);
  if (fd < 0) return 1;
  char buffer[128];
  long long total = 0;
  ssize_t got;
  while ((got = read(fd, buffer, sizeof buffer)) > 0) total += got;
  if (got < 0) return 1;
  if (argc > 2 && strcmp(argv[2], "--count") == 0) printf("%lld\n", total);
  return 0;
}
