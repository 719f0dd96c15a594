// The lvm.conf template of the private configurations.
#include "kqblk_lvm_config.h"

const std::string lvm_def_cfg_dir = "/default";
const std::string lvm_alt_cfg_dir = "/noactivation";

const std::string DEVICE_FILTERS = "DEVICEFILTERS";
const std::string ACTIVATION_ON = "\t   activation = 1\n";
const std::string ACTIVATION_OFF = "\t   activation = 0\n";

// The filter line replaces DEVICEFILTERS, so cache_dir belongs to "devices".
// preferred_names makes LVM print the driver's own names (/dev/kqblk/...)
// rather than the kernel names of the same devices. The host's daemons
// (lvmpolld, dmeventd through monitoring) must never act on guest volumes,
// and a command stuck on a recalling device must not hold locks in the
// host's lock directory: each configuration locks in a directory of its own.
const std::string defCfg =
    "\t\t\t\t\t\t\n"
    "\tdevices {\t\t\t\t\t\t\t\t\t\n"
    "\t\tdir = \"/dev\"\t\t\t\t\t\t\t\n"
    "\t\tscan = [ \"/dev\" ]\t\t\t\t\t\t\n"
    "\t\tpreferred_names = [\"^/dev/kqblk/\"]\t\n"
    "DEVICEFILTERS\tcache_dir = \"LVM_CACHE_DIR\"\t\t\n"
    "\t\tcache_file_prefix = \"\"\t\t\t\t\n"
    "\t\twrite_cache_state = 1\t\t\t\t\t\n"
    "\t\ttypes = [ \"kqblk\", 10 ]\t\t\t\t\n"
    "\t\tsysfs_scan = 0\t\t\t\t\t\t\t\n"
    "\t\tmd_component_detection = 1\t\t\t\t\n"
    "\t\tignore_suspended_devices = 0\t\t\t\n"
    "\t}\t\t\t\t\t\t\t\t\t\t\t\n"
    "\t\t\t\t\t\t\t\t\t\t\t\t\n"
    "\tlog {\t\t\t\t\t\t\t\t\t\t\n"
    "\t\tverbose = 0\t\t\t\t\t\t\t\t\n"
    "\t\tsyslog = 1\t\t\t\t\t\t\t\t\n"
    "\t\toverwrite = 0\t\t\t\t\t\t\t\n"
    "\t\tlevel = 0\t\t\t\t\t\t\t\t\n"
    "\t\tindent = 1\t\t\t\t\t\t\t\t\n"
    "\t\tcommand_names = 0\t\t\t\t\t\t\n"
    "\t\tprefix = \"\t \"\t\t\t\t\t\t\t\n"
    "\t}\t\t\t\t\t\t\t\t\t\t\t\n"
    "\t\t\t\t\t\t\t\t\t\t\t\t\n"
    "\tbackup {\t\t\t\t\t\t\t\t\t\n"
    "\t\tbackup = 0\t\t\t\t\t\t\t\t\n"
    "\t\tarchive = 0\t\t\t\t\t\t\t\t\n"
    "\t\tretain_min = 10\t\t\t\t\t\t\t\n"
    "\t\tretain_days = 30\t\t\t\t\t\t\n"
    "\t}\t\t\t\t\t\t\t\t\t\t\t\n"
    "\t\t\t\t\t\t\t\t\t\t\t\t\n"
    "\tshell {\t\t\t\t\t\t\t\t\t\t\n"
    "\t\thistory_size = 100\t\t\t\t\t\t\n"
    "\t}\t\t\t\t\t\t\t\t\t\t\t\n"
    "\t\t\t\t\t\t\t\t\t\t\t\t\n"
    "\tglobal {\t\t\t\t\t\t\t\t\t\n"
    "\t\tumask = 077\t\t\t\t\t\t\t\t\n"
    "\t\ttest = 0\t\t\t\t\t\t\t\t\n"
    "\t\tunits = \"h\"\t\t\t\t\t\t\t\n"
    "\t   activation = 1\n"
    "\t proc = \"/proc\"\t\t\t\t\t\n"
    "\t\tlocking_type = 1\t\t\t\t\t\t\n"
    "\t\tfallback_to_clustered_locking = 1\t\t\n"
    "\t\tfallback_to_local_locking = 1\t\t\t\n"
    "\t\tlocking_dir = \"LVM_LOCK_DIR\"\t\t\t\n"
    "\t\tuse_lvmetad = 0\t\t\t\t\t\t\t\n"
    "\t\tuse_lvmpolld = 0\n"
    "\t\tevent_activation = 0\n"
    "\t}\t\t\t\t\t\t\t\t\t\t\t\n"
    "\t\t\t\t\t\t\t\t\t\t\t\t\n"
    "\tactivation {\t\t\t\t\t\t\t\t\n"
    "\t\tmonitoring = 0\n"
    "\t\tmissing_stripe_filler = \"/dev/ioerror\"\n"
    "\t\treserved_stack = 256\t\t\t\t\t\n"
    "\t\treserved_memory = 8192\t\t\t\t\t\n"
    "\t\tprocess_priority = -18\t\t\t\t\t\n"
    "\t\tmirror_region_size = 512\t\t\t\t\n"
    "\t\tmirror_log_fault_policy = \"allocate\"\t\n"
    "\t\tmirror_device_fault_policy = \"remove\"\t\n"
    "\t}\t\t\t\t\t\t\t\t\t\t\t\n"
    "\t";

std::string kqblk_lvm203Settings(const std::string& filterEntries) {
  // global_filter: devices outside the list are never even opened, and a
  // filter given on a command line cannot widen the set.
  // use_devicesfile = 0: with a devices file (the built-in default on many
  // LVM builds, and one that pvcreate or lvmdevices may create under
  // LVM_SYSTEM_DIR) LVM ignores the filter and uses the file's devices.
  // hints = "none": hints live in /run/lvm/hints whatever LVM_SYSTEM_DIR
  // says, shared with the proxy's own LVM.
  // obtain_device_list_from_udev = 0: udev's database may lag behind the
  // driver's nodes or be absent; the filter decides on what LVM scans.
  return "global_filter = [ " + filterEntries + " ]\n" +
         "use_devicesfile = 0\n"
         "hints = \"none\"\n"
         "obtain_device_list_from_udev = 0\n";
}
