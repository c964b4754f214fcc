// Listening (slave) side of TVexaModbus. Placeholder bodies until the
// listening mode lands.
#include "VexaModbus.h"

void TVexaModbus::DelimitListening() {}
void TVexaModbus::ListeningPass() { DisconnectCheck(); }
void TVexaModbus::SendSlaveResponse(uint8_t, uint16_t, uint16_t) {}
void TVexaModbus::PackCoils(uint16_t, uint16_t) {}
void TVexaModbus::PortClientAccepted(TCommPort*, const uint8_t[4], bool&) {}
