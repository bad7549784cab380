/* The project's own process-table library: a scan over the tasks of the host
 * that fills one record per process from /proc.
 *
 * The daemon never links it: it binds these functions at run time by
 * name, so a host without the library still runs the daemon, only without
 * the top-process sensor. The record layout and flag values below are
 * therefore an ABI shared with the daemon; change them only together.
 *
 * A scan is used by one thread. The /proc tree read is "/proc" below the root
 * named by VELMAR_PLATFORM_ROOT (unset or empty in production), taken when
 * the scan opens.
 */
#ifndef VELMAR_PROCPS_H
#define VELMAR_PROCPS_H

#ifdef __cplusplus
extern "C" {
#endif

/* What a scan fills in besides the task id. */
#define PROC_FILLSTATUS 0x0020 /* vm_rss, from /proc/<pid>/status */
#define PROC_FILLSTAT 0x0040   /* cmd, utime, stime, from /proc/<pid>/stat */

#define PROC_CMD_LEN 64

typedef struct proc_t {
    int tid;                  /* task id (the process id) */
    unsigned long long utime; /* user-mode CPU time, clock ticks */
    unsigned long long stime; /* kernel-mode CPU time, clock ticks */
    unsigned long vm_rss;     /* resident set size, KiB; 0 for kernel threads */
    char cmd[PROC_CMD_LEN];   /* short name as the kernel reports it, NUL-terminated */
} proc_t;

typedef struct PROCTAB PROCTAB;

/* A caller that binds the library at run time trusts it only when
 * velmar_procps_layout() returns the VELMAR_PROCPS_LAYOUT it was compiled
 * with: the size of proc_t in the low 16 bits, the layout version above.
 * Raise the version with every change of proc_t or the flags. Other
 * process-table libraries under the same names lack the function. */
#define VELMAR_PROCPS_LAYOUT_VERSION 1UL
#define VELMAR_PROCPS_LAYOUT ((VELMAR_PROCPS_LAYOUT_VERSION << 16) | sizeof(proc_t))
unsigned long velmar_procps_layout(void);

/* Starts a scan; flags is a combination of PROC_FILL*. Further arguments are
 * accepted and ignored. Null when /proc cannot be opened. */
PROCTAB* openproc(int flags, ...);

/* Reads the next task into p, or into a new record when p is null (release
 * it with freeproc). Null at the end of the scan; a given p is then left as
 * it was. Tasks that end during the scan are skipped. */
proc_t* readproc(PROCTAB* pt, proc_t* p);

/* Releases a record that readproc allocated. */
void freeproc(proc_t* p);

/* Ends a scan. */
void closeproc(PROCTAB* pt);

#ifdef __cplusplus
}
#endif

#endif
