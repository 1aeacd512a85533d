// config.cpp - the receiver's configuration: factory default, readable form
// and the BBR file rxsim.exe keeps between runs.
//
// Values only; no shared state.
#include "parts.h"

#include <cstdio>
#include <cstring>

namespace rxsim {

const char *const kSentenceNames[kSentences] = {
    "GGA", "GLL", "GSA", "GSV", "RMC", "VTG", "GRS", "GST", "ZDA", "GBS", "DTM"
};

namespace {

// mode 1 (on), usage 3 (ranging and corrections), 3 channels, scanmode2 0,
// scanmode1 0x0006CAD5.
const std::array<uint8_t, 8> kFactorySbas = { 0x01, 0x03, 0x03, 0x00, 0xD5, 0xCA, 0x06, 0x00 };

}  // namespace

Configuration FactoryDefault()
{
    Configuration configuration;
    for (int i = 0; i < kSentences; i++)
        configuration.rate[i] = i <= 5 ? 1 : 0;   // GGA .. VTG
    configuration.sbas = true;
    configuration.sbasPayload = kFactorySbas;
    return configuration;
}

std::string Describe(const Configuration &configuration)
{
    std::string text;
    for (int i = 0; i < kSentences; i++) {
        if (configuration.rate[i] == 0)
            continue;
        if (!text.empty())
            text += ' ';
        text += kSentenceNames[i];
        if (configuration.rate[i] > 1)
            text += "/" + std::to_string(configuration.rate[i]);
    }
    if (text.empty())
        text = "no sentences";
    return text + (configuration.sbas ? ", SBAS on" : ", SBAS off");
}

bool LoadConfiguration(const std::wstring &path, Configuration *configuration)
{
    *configuration = FactoryDefault();
    FILE *file = _wfopen(path.c_str(), L"r");
    if (file == nullptr)
        return false;
    char line[160];
    int readable = 0, number = 0;
    while (fgets(line, sizeof line, file) != nullptr) {
        number++;
        line[strcspn(line, "\r\n")] = '\0';
        char name[8];
        unsigned values[8];
        const char *first = line + strspn(line, " \t\r\n");
        if (*first == '\0' || *first == '#')
            continue;   // blank line or comment
        bool ok = false;
        if (sscanf(line, " SBAS %x %x %x %x %x %x %x %x", &values[0], &values[1], &values[2],
                   &values[3], &values[4], &values[5], &values[6], &values[7]) == 8) {
            ok = true;
            for (int i = 0; i < 8; i++) {
                ok = ok && values[i] <= 0xFF;
                configuration->sbasPayload[i] = (uint8_t)values[i];
            }
            configuration->sbas = (configuration->sbasPayload[0] & 1) != 0;
        } else if (sscanf(line, " %7s %u", name, &values[0]) == 2 && values[0] <= 0xFF) {
            for (int i = 0; i < kSentences; i++) {
                if (strcmp(name, kSentenceNames[i]) == 0) {
                    configuration->rate[i] = (uint8_t)values[0];
                    ok = true;
                }
            }
        }
        if (ok)
            readable++;
        else
            detail::Log("%ls line %d not understood, skipped: %s", path.c_str(), number, line);
    }
    fclose(file);
    return readable > 0;
}

bool SaveConfiguration(const std::wstring &path, const Configuration &configuration)
{
    FILE *file = _wfopen(path.c_str(), L"w");
    if (file == nullptr) {
        detail::Log("cannot write %ls", path.c_str());
        return false;
    }
    fprintf(file, "# receiver battery-backed RAM: NMEA sentence rates, CFG-SBAS payload\n");
    for (int i = 0; i < kSentences; i++)
        fprintf(file, "%s %u\n", kSentenceNames[i], configuration.rate[i]);
    fprintf(file, "SBAS");
    for (uint8_t byte : configuration.sbasPayload)
        fprintf(file, " %02X", byte);
    fprintf(file, "\n");
    return fclose(file) == 0;
}

}  // namespace rxsim
