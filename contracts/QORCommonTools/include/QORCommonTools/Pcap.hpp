#pragma once
// libpcap's entry points (pcap_open_dead, pcap_compile, pcap_geterr, pcap_freecode, pcap_close).
#include <pcap/pcap.h>
