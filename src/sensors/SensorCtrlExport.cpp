// The controller's export of one sample (controller thread): the packets are
// written by IPFIXPacket, whose header draws their layouts, and handed to the
// collectors by CollectorLinks.
#include <algorithm>

#include "IPFIXPacket.h"
#include "SensorCtrl.h"

bool SensorCtrl::prepareIPFIXPacket(SensorCtrlBlock* block, uint32_t exportTime,
                                    const dataSet_t* data) {
    AbstractSensor* sensor = block->sensor;
    const uint32_t numVirt = std::min<uint32_t>(
        sensor->getNumVirtualSensors(), static_cast<uint32_t>(block->metricsTemplate.size()));
    links.beginSample(block);
    if (block->refusalLogged.size() < numVirt) block->refusalLogged.resize(numVirt, false);
    bool allSent = true;
    for (uint32_t v = 0; v < numVirt; ++v) {
        // The sequence number counts packets that are built: a refused
        // sample takes none, so collectors see no gap for it.
        const uint32_t seq = numPkts;
        const IPFIXTemplSet& tmpl = block->metricsTemplate[v];
        // A refusal is logged once, not at every sample, until a sample of
        // that virtual sensor goes out again.
        std::vector<bool>::reference refusalLogged = block->refusalLogged[v];
        const bool logRefusal = !refusalLogged;
        uint32_t templateLength = 0;
        // Once every collector holds the templates only the message header
        // of the template packet is used: build the rest only when a
        // collector still needs it.
        if (!links.templatesNeeded(block, v)) {
            IPFIXPacket::writeMessageHeader(ipfixTemplatePacket, exportTime, seq);
        } else if (!IPFIXPacket::writeTemplatePacket(
                       ipfixTemplatePacket, exportTime, seq, block->metaMetricsTemplate,
                       sensor->getMetaData()[v], tmpl, &templateLength)) {
            if (logRefusal)
                logger->logError(
                    "Templates of sensor %s (virtual sensor %u) do not fit into one "
                    "IPFIX message; its data is not exported",
                    sensor->getName().c_str(), v);
            refusalLogged = true;
            allSent = false;
            continue;
        }

        const dataSet_t& rows = data[v];
        const IPFIXPacket::RowsFit fit = IPFIXPacket::checkRows(rows, tmpl);
        if (fit == IPFIXPacket::RowsFit::WrongLength) {
            if (logRefusal)
                logger->logError("Template length: %ld, data set length: %d",
                                 static_cast<long>(tmpl.getDataSetMemorySize()),
                                 static_cast<int>(rows.setLength));
            refusalLogged = true;
            allSent = false;
            continue;
        }
        if (fit == IPFIXPacket::RowsFit::TooLarge) {
            if (logRefusal)
                logger->logError(
                    "Data of sensor %s (virtual sensor %u) cannot be split into IPFIX "
                    "messages; it is not exported",
                    sensor->getName().c_str(), v);
            refusalLogged = true;
            allSent = false;
            continue;
        }
        refusalLogged = false;
        ++numPkts;

        uint32_t offset = 0;
        do {
            uint32_t length = 0;
            // checkRows accepted the rows, so every packet can be written.
            if (!IPFIXPacket::writeDataPacket(ipfixPacket, exportTime, seq, rows, tmpl, offset,
                                              &length, &offset)) {
                allSent = false;
                break;
            }
            if (!links.deliver(block, ipfixPacket, length, ipfixTemplatePacket, templateLength, v,
                               blasterTimeOut != 0))
                allSent = false;
        } while (offset != 0);
    }
    return allSent;
}
