/* The least a static STAC catalogue costs: for every item of a catalogue already made
 * (MODEL), create its folder and its file of the same size in a new folder (OUT), then one
 * syncfs. Nothing else: no reading, no JSON. Prints the milliseconds of the creation and
 * the syncfs together and each on its own (syncfs flushes the whole file system, so what
 * other programs wrote meanwhile lands in its share); gathering the names and sizes from MODEL beforehand is not timed. */
#define _GNU_SOURCE
#include <dirent.h>
#include <fcntl.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

struct item {
    char* name;
    size_t size;
};

static double now(void) {
    struct timespec t;
    clock_gettime(CLOCK_MONOTONIC, &t);
    return (double)t.tv_sec * 1e3 + (double)t.tv_nsec / 1e6;
}

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s MODEL_CATALOGUE NEW_FOLDER\n", argv[0]);
        return 2;
    }
    DIR* model = opendir(argv[1]);
    if (model == NULL) {
        perror(argv[1]);
        return 1;
    }
    struct item* items = NULL;
    size_t count = 0, capacity = 0, largest = 0;
    char path[8192];
    for (struct dirent* entry; (entry = readdir(model)) != NULL;) {
        if (entry->d_name[0] == '.' || strcmp(entry->d_name, "collection.json") == 0)
            continue;
        struct stat info;
        snprintf(path, sizeof path, "%s/%s/%s.json", argv[1], entry->d_name, entry->d_name);
        if (stat(path, &info) != 0)
            continue;
        if (count == capacity) {
            capacity = capacity ? 2 * capacity : 1024;
            items = realloc(items, capacity * sizeof *items);
        }
        items[count].name = strdup(entry->d_name);
        items[count].size = (size_t)info.st_size;
        if (items[count].size > largest)
            largest = items[count].size;
        ++count;
    }
    closedir(model);
    char* bytes = malloc(largest + 1);
    memset(bytes, ' ', largest + 1);

    const double start = now();
    if (mkdir(argv[2], 0777) != 0) {
        perror(argv[2]);
        return 1;
    }
    const int out = open(argv[2], O_RDONLY | O_DIRECTORY);
    for (size_t i = 0; i < count; ++i) {
        if (mkdirat(out, items[i].name, 0777) != 0) {
            perror(items[i].name);
            return 1;
        }
        snprintf(path, sizeof path, "%s/%s.json", items[i].name, items[i].name);
        const int fd = openat(out, path, O_WRONLY | O_CREAT | O_EXCL, 0666);
        if (fd < 0 || write(fd, bytes, items[i].size) != (ssize_t)items[i].size || close(fd) != 0) {
            perror(path);
            return 1;
        }
    }
    const double created = now();
    if (syncfs(out) != 0) {
        perror("syncfs");
        return 1;
    }
    const double end = now();
    close(out);
    printf("items=%zu ms=%.1f create_ms=%.1f syncfs_ms=%.1f\n", count, end - start,
           created - start, end - created);
    return 0;
}
