// Provisioning values of this build, shared with the cloud simulator (tools/cloudsim), which
// includes nothing else of the unit. A product build replaces the placeholders: the product key
// and built-in identity are per-product values, the API URL names the real regional endpoint.
// The unit reads "/etc/cloud.conf" ("api_url=...") before falling back to the URL here.
#pragma once

#define NOXA_CLOUD_PRODUCT_KEY "kwpzrmud4fjcvalo"
#define NOXA_CLOUD_DEFAULT_API_URL "https://a1.noxa-placeholder.test/d.json"  // placeholder
#define NOXA_CLOUD_API_PATH "/d.json"
#define NOXA_CLOUD_USER_AGENT "NOXA_IOT_SDK"
#define NOXA_MQTT_VERSION "2.2"
#define NOXA_CLOUD_BUILTIN_UUID "noxa3b8d51c6a02fe947"
#define NOXA_CLOUD_BUILTIN_AUTHKEY "Hq7TzLm2PwRk9VbNc4XsDf6GjY1aUe3K"
// The fixed IV of video messages (16 bytes, the same on every unit; the cloud knows it). Placeholder:
// a product build puts the cloud's value here.
#define NOXA_VIDEO_MSG_IV "vmsg-iv-placehld"  // placeholder
// Cloud storage: the fixed IV of the slices' key and audio frames, the same on every device and
// known to the cloud. A placeholder: a product build takes the cloud's value.
#define NOXA_CLOUD_STORAGE_IV "cs-iv-placeholdr"  // placeholder, 16 bytes
