#include "kqblk_guestdisk.h"

KqBlkGuestDisk::KqBlkGuestDisk(const std::string& diskPath, const std::string& dirPath)
    : KqBlkDisk(diskPath, dirPath) {
  m_state = STATE_CONNECTED;
  m_connected = false;
}

KqBlkGuestDisk::~KqBlkGuestDisk() {
  m_log.Debug("~KqBlkGuestDisk", "Invoked for [%p] while state=[%d]", static_cast<void*>(this),
              static_cast<int>(m_state));
}

std::string KqBlkGuestDisk::createKqBlkDev() { return m_diskPath; }
void KqBlkGuestDisk::destroyKqBlkDev() {}
void KqBlkGuestDisk::startThread() {}
void KqBlkGuestDisk::stopThread() {}
void KqBlkGuestDisk::connect() {}
void KqBlkGuestDisk::disconnect() {}
void KqBlkGuestDisk::disconnect_direct() {}
std::string KqBlkGuestDisk::getPartPrefix() { return std::string(); }

void KqBlkGuestDisk::setState() { m_state = STATE_CONNECTED; }

void KqBlkGuestDisk::setDiskPath(std::string path) {
  m_diskPath = path;
  m_devPath = path;
}
