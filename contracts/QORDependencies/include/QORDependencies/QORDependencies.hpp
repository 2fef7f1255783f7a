#pragma once
// Everything the shared contracts declare.

#include "QORDependencies/Caching.hpp"
#include "QORDependencies/DefaultInjection.hpp"
#include "QORDependencies/Enumerations.hpp"
#include "QORDependencies/QORAnalyzerCacheProcotol.hpp"
#include "QORDependencies/QORNodeProtocol.hpp"
#include "QORDependencies/QORPacketProtocol.hpp"
#include "QORDependencies/QORPlugInsControlling.hpp"
#include "QORDependencies/QORPluginAnalyzerProtocol.hpp"
#include "QORDependencies/QORPortsControllerProtocol.hpp"
#include "QORDependencies/QORSharedMemoryProtocol.hpp"
#include "QORDependencies/Records.hpp"
