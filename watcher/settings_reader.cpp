#include "settings_reader.h"

#include <ctype.h>
#include <limits.h>
#include <string.h>
#include <strings.h>

static char settings_line[SETTINGS_LINE_MAX];

const char *settings_lookup(FILE *file, const char *name)
{
    if (file == NULL)
        return NULL;
    rewind(file);

    const size_t name_len = strlen(name);
    while (fgets(settings_line, sizeof settings_line, file) != NULL) {
        char *end = strchr(settings_line, '\r');
        if (end != NULL)
            *end = '\0';
        end = strchr(settings_line, '\n');
        if (end != NULL)
            *end = '\0';
        end = strrchr(settings_line, '"');
        if (end != NULL)
            *end = '\0';

        char *equals = strchr(settings_line, '=');
        if (equals == NULL)
            continue;
        if ((size_t)(equals - settings_line) != name_len || strncasecmp(settings_line, name, name_len) != 0)
            continue;

        char *value = equals + 1;
        if (*value == '"')
            value++;
        return value;
    }
    return NULL;
}

unsigned int settings_get_uint(FILE *file, const char *name)
{
    const char *value = settings_lookup(file, name);
    if (value == NULL)
        return 0;

    while (isspace((unsigned char)*value))
        value++;
    /* A negative number is no sleep at all; read as unsigned it would wrap
     * to a pause of many years and the agent would never be restarted. */
    if (*value == '-')
        return 0;
    if (*value == '+')
        value++;

    unsigned long long number = 0;
    if (!isdigit((unsigned char)*value))
        return 0;
    for (; isdigit((unsigned char)*value); value++) {
        number = number * 10 + (unsigned)(*value - '0');
        /* The same holds for a number too large for the counter. */
        if (number > UINT_MAX)
            return 0;
    }
    return (unsigned int)number;
}

unsigned int watcher_read_settings(const char *path)
{
    FILE *file = fopen(path, "r");
    if (file == NULL)
        return 0;
    const unsigned int extra = settings_get_uint(file, "MOD_KIVCLIENT_SLEEP");
    fclose(file);
    return extra;
}
