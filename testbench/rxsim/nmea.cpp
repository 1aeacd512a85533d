// nmea.cpp - the NMEA 0183 sentences the receiver streams: one template per
// sentence, a fixed position near noon, the time taken from the epoch.
//
// Constant data and a pure function; any thread may call it.
#include "parts.h"

#include <cstdio>

namespace rxsim {
namespace detail {

namespace {

// Fields after "$GPxxx,". {T} is the UTC time hhmmss.ss, {D} the date ddmmyy,
// {Z} the date as ZDA writes it (day, month, year).
const char *const kTemplates[kSentences] = {
    "{T},4717.11399,N,00833.91590,E,1,08,1.01,499.6,M,48.0,M,,",          // GGA
    "4717.11364,N,00833.91565,E,{T},A,A",                                  // GLL
    "A,3,07,08,09,18,23,26,28,29,,,,,1.94,1.01,1.66",                      // GSA
    "1,1,04,07,38,230,44,08,71,156,47,09,29,116,41,18,09,081,36",          // GSV
    "{T},A,4717.11437,N,00833.91522,E,0.004,77.52,{D},,,A",                // RMC
    "77.52,T,,M,0.004,N,0.008,K,A",                                        // VTG
    "{T},1,-0.3,0.8,0.2,-0.1,0.5,0.4,,,,,,",                                // GRS
    "{T},0.675,3.2,1.6,12.5,2.1,1.9,4.2",                                  // GST
    "{T},{Z},00,00",                                                       // ZDA
    "{T},2.9,2.1,4.4,,,,",                                                 // GBS
    "W84,,0.00000,N,0.00000,E,0.0,W84",                                    // DTM
};

}  // namespace

std::string NmeaSentence(int sentence, unsigned epoch)
{
    if (sentence < 0 || sentence >= kSentences)
        return std::string();
    unsigned seconds = (12 * 3600 + epoch) % (24 * 3600);
    char time[16];
    snprintf(time, sizeof time, "%02u%02u%02u.00", seconds / 3600, seconds / 60 % 60, seconds % 60);

    std::string body = std::string("GP") + kSentenceNames[sentence] + ",";
    for (const char *p = kTemplates[sentence]; *p != '\0'; p++) {
        if (p[0] == '{' && p[1] != '\0' && p[2] == '}') {
            body += p[1] == 'T' ? time : p[1] == 'D' ? "120612" : "12,06,2012";
            p += 2;
        } else {
            body += *p;
        }
    }
    uint8_t sum = 0;
    for (char c : body)
        sum ^= (uint8_t)c;
    char tail[8];
    snprintf(tail, sizeof tail, "*%02X\r\n", sum);
    return "$" + body + tail;
}

}  // namespace detail
}  // namespace rxsim
