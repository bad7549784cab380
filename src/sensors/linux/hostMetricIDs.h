// Metric numbers of the host sensors. A number is unique in the whole system
// and is also the IPFIX field type of its metric in the sensor's data
// template, so a number, once exported, must never change meaning.
#pragma once

#include <cstdint>

namespace MetricID {

// /proc/stat (10010 belongs to the top-process sensor).
constexpr uint16_t cpu_user = 10001;
constexpr uint16_t cpu_system = 10002;
constexpr uint16_t cpu_nice = 10003;
constexpr uint16_t cpu_idle = 10004;
constexpr uint16_t cpu_iowait = 10005;
constexpr uint16_t cpu_hiq = 10006;
constexpr uint16_t cpu_siq = 10007;
constexpr uint16_t cpu_interrupts = 10008;
constexpr uint16_t cpu_contexts = 10009;
constexpr uint16_t cpu_steal = 10011;
constexpr uint16_t cpu_guest = 10012;
constexpr uint16_t cpu_guest_nice = 10013;

// /proc/loadavg.
constexpr uint16_t load1 = 10020;
constexpr uint16_t load5 = 10021;
constexpr uint16_t load15 = 10022;
constexpr uint16_t jobs = 10023;

// /proc/net/dev.
constexpr uint16_t netdev_name = 10100;
constexpr uint16_t netdev_bytes_r = 10101;
constexpr uint16_t netdev_packets_r = 10102;
constexpr uint16_t netdev_errors_r = 10103;
constexpr uint16_t netdev_drops_r = 10104;
constexpr uint16_t netdev_fifo_r = 10105;
constexpr uint16_t netdev_frames_r = 10106;
constexpr uint16_t netdev_compressed_r = 10107;
constexpr uint16_t netdev_multicast_r = 10108;
constexpr uint16_t netdev_bytes_s = 10111;
constexpr uint16_t netdev_packets_s = 10112;
constexpr uint16_t netdev_errors_s = 10113;
constexpr uint16_t netdev_drops_s = 10114;
constexpr uint16_t netdev_fifo_s = 10115;
constexpr uint16_t netdev_collisions = 10116;
constexpr uint16_t netdev_carrier = 10117;
constexpr uint16_t netdev_compressed_s = 10118;

// /proc/diskstats; these constants are named after the kernel's columns, not
// after the metrics.
constexpr uint16_t metric_key = 106;
constexpr uint16_t device_name = 11302;
constexpr uint16_t diskstats_rio = 11303;
constexpr uint16_t diskstats_rmerge = 11304;
constexpr uint16_t diskstats_rsect = 11305;
constexpr uint16_t diskstats_ruse = 11306;
constexpr uint16_t diskstats_wio = 11307;
constexpr uint16_t diskstats_wmerge = 11308;
constexpr uint16_t diskstats_wsect = 11309;
constexpr uint16_t diskstats_wuse = 11310;
constexpr uint16_t diskstats_running = 11311;
constexpr uint16_t diskstats_use = 11312;
constexpr uint16_t diskstats_aveq = 11313;

// /proc/meminfo. The sensor reports 12000 to 12015 and 12041; 12016 to 12040
// stand for further lines of the file (named after the key in lower case, in
// the file's order), which no table reports yet. 12041 came after that block.
constexpr uint16_t mem_memtotal = 12000;
constexpr uint16_t mem_memfree = 12001;
constexpr uint16_t mem_buffers = 12002;
constexpr uint16_t mem_cached = 12003;
constexpr uint16_t mem_swapcached = 12004;
constexpr uint16_t mem_active = 12005;
constexpr uint16_t mem_inactive = 12006;
constexpr uint16_t mem_active_anon = 12007;
constexpr uint16_t mem_inactive_anon = 12008;
constexpr uint16_t mem_active_file = 12009;
constexpr uint16_t mem_inactive_file = 12010;
constexpr uint16_t mem_unevictable = 12011;
constexpr uint16_t mem_mlocked = 12012;
constexpr uint16_t mem_swaptotal = 12013;
constexpr uint16_t mem_swapfree = 12014;
constexpr uint16_t mem_dirty = 12015;
constexpr uint16_t mem_writeback = 12016;
constexpr uint16_t mem_anonpages = 12017;
constexpr uint16_t mem_mapped = 12018;
constexpr uint16_t mem_shmem = 12019;
constexpr uint16_t mem_slab = 12020;
constexpr uint16_t mem_sreclaimable = 12021;
constexpr uint16_t mem_sunreclaim = 12022;
constexpr uint16_t mem_kernelstack = 12023;
constexpr uint16_t mem_pagetables = 12024;
constexpr uint16_t mem_nfs_unstable = 12025;
constexpr uint16_t mem_bounce = 12026;
constexpr uint16_t mem_writebacktmp = 12027;
constexpr uint16_t mem_commitlimit = 12028;
constexpr uint16_t mem_committed_as = 12029;
constexpr uint16_t mem_vmalloctotal = 12030;
constexpr uint16_t mem_vmallocused = 12031;
constexpr uint16_t mem_vmallocchunk = 12032;
constexpr uint16_t mem_hardwarecorrupted = 12033;
constexpr uint16_t mem_anonhugepages = 12034;
constexpr uint16_t mem_hugepages_total = 12035;
constexpr uint16_t mem_hugepages_free = 12036;
constexpr uint16_t mem_hugepages_rsvd = 12037;
constexpr uint16_t mem_hugepages_surp = 12038;
constexpr uint16_t mem_hugepagesize = 12039;
constexpr uint16_t mem_directmap4k = 12040;
constexpr uint16_t mem_available = 12041;

// /proc/net/tcp.
constexpr uint16_t ns_established = 12110;
constexpr uint16_t ns_timewait = 12111;
constexpr uint16_t ns_closewait = 12112;
constexpr uint16_t ns_listen = 12113;
constexpr uint16_t ns_localconn = 12114;
constexpr uint16_t ns_remoteconn = 12115;
constexpr uint16_t ns_local_bytes_s = 12116;
constexpr uint16_t ns_local_bytes_r = 12117;
constexpr uint16_t ns_remote_bytes_s = 12118;
constexpr uint16_t ns_remote_bytes_r = 12119;

// The process table: the top-process report field.
constexpr uint16_t top = 10010;

// hddtemp.
constexpr uint16_t disk_temp = 11320;

// df -k -l -P.
constexpr uint16_t mountPoint = 12120;
constexpr uint16_t df_total = 12121;
constexpr uint16_t df_used = 12122;
constexpr uint16_t df_free = 12123;

// Infiniband port counters. 10136 to 10143 stand for the extended counters
// and are reserved; no table reports them.
constexpr uint16_t ib_buf_overrun_errors = 10120;
constexpr uint16_t ib_link_downed = 10121;
constexpr uint16_t ib_link_error_recovery = 10122;
constexpr uint16_t ib_local_link_errors = 10123;
constexpr uint16_t ib_rcv_constr_errors = 10124;
constexpr uint16_t ib_rcv_data = 10125;
constexpr uint16_t ib_rcv_errors = 10126;
constexpr uint16_t ib_rcv_packets = 10127;
constexpr uint16_t ib_rcv_rem_phys_errors = 10128;
constexpr uint16_t ib_rcv_sx_relay_errors = 10129;
constexpr uint16_t ib_xmt_constr_errors = 10130;
constexpr uint16_t ib_xmt_data = 10131;
constexpr uint16_t ib_xmt_discards = 10132;
constexpr uint16_t ib_xmt_packets = 10133;
constexpr uint16_t ib_symbol_error = 10134;
constexpr uint16_t ib_vl15_dropped = 10135;
constexpr uint16_t ib_mcast_rcv_packets = 10136;
constexpr uint16_t ib_mcast_xmit_packets = 10137;
constexpr uint16_t ib_rcv_data_64 = 10138;
constexpr uint16_t ib_rcv_packets_64 = 10139;
constexpr uint16_t ib_uni_rcv_packets = 10140;
constexpr uint16_t ib_uni_xmt_packets = 10141;
constexpr uint16_t ib_xmt_data_64 = 10142;
constexpr uint16_t ib_xmt_packets_64 = 10143;

}  // namespace MetricID
