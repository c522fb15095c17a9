/* A host application driving the server in-process: exports a folder,
 * starts the server on 127.0.0.1 with ports chosen by the system, prints
 * where it listens and the statistics, and stops it again.
 *
 * usage: host_example FOLDER */
#include <stdio.h>

#include <vorlix.h>

int main(int argc, char** argv) {
  if (argc != 2) {
    fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  if (vorlix_add_export("/share", argv[1], NULL) < 0) {
    fprintf(stderr, "export: %s\n", vorlix_last_error());
    return 1;
  }
  vorlix_config("nfs_port", "0");
  vorlix_config("mount_port", "0");
  if (vorlix_start("127.0.0.1", 0, 0, 0) != 0) {
    fprintf(stderr, "start: %s\n", vorlix_last_error());
    return 1;
  }
  printf("vorlix %s nfs=%d mount=%d exports=%d\n", vorlix_version(), vorlix_nfs_port(), vorlix_mount_port(),
         vorlix_export_count());
  printf("%s\n", vorlix_stats_json());
  vorlix_stop();
  return 0;
}
