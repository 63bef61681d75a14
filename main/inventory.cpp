// Adapter inventory: records, firmware catalog, version ordering, build.
#include "main/vexor.h"

std::vector<nic_info> g_ninfo;
int32_t g_nNics = 0;
int32_t g_nQuorvanePorts = 0;
int nic_count = 0;
std::vector<int> fw_number;
std::string sub_ven_id_new;
std::string sub_dev_id_new;
const int32_t class_code[4] = {0x0C06, 0x0200, 0x0280, 0x0207};
std::vector<std::string> ver_buf;
int fw_invalid = 0;
int fw_invalid_count = 0;
int read_discovery = 0;
std::vector<std::string> firmware_id;
std::string bus_info;
