// Faces: a local store of the feature vectors of known faces (one file per face id, AES-128-ECB
// under the first 16 bytes of the device's local key), and the cloud side of faces: the
// face-picture storage configuration, the reports of a recognised ("signed") or new face with
// their face and scene pictures, and the cloud's list of known faces ("acquaintance"), whose
// pictures are kept in "<store>/pictures".
#pragma once

#include "noxa_iot_sdk/online_log/log_seq.h"

#include <cstdint>

#define OPRT_LOCAL_AI_FACE_NOT_INIT (-2013)
#define OPRT_LOCAL_AI_FACE_LEN_ERR (-2014)  // the decoded feature has another length
#define AI_FACE_ERR_FILE (-7)                // a folder or file that cannot be made or opened
#define AI_FACE_ERR_UPLOAD (-5)
#define AI_FACE_ERR_REPLY (-803)             // a cloud reply without what it must hold

#define AI_FACE_PATH_MAX 120  // the store's folder
#define AI_FACE_ID_MAX 15     // a face id: 1 to 15 of [A-Za-z0-9_-]
#define AI_FACE_PICTURE_DIR "pictures"
#define AI_FACE_CFG_TEXT_LEN 128
#define AI_FACE_TOKEN_LEN 2048

// The face-picture storage the cloud hands out (texts; a key the reply lacks stays empty).
typedef struct {
    char ak[AI_FACE_CFG_TEXT_LEN];
    char sk[AI_FACE_CFG_TEXT_LEN];
    char expiration[AI_FACE_CFG_TEXT_LEN];
    char bucket[AI_FACE_CFG_TEXT_LEN];
    char endpoint[AI_FACE_CFG_TEXT_LEN];
    char region[AI_FACE_CFG_TEXT_LEN];
    char provider[AI_FACE_CFG_TEXT_LEN];
    char mode[AI_FACE_CFG_TEXT_LEN];
    char token[AI_FACE_TOKEN_LEN];
    char path[AI_FACE_CFG_TEXT_LEN];  // "pathConfig" -> "face"
} NOXA_AI_FACE_STORAGE_CFG_S;

// What a face report carries: the face and scene pictures (JPEG), the sample version, the face
// id of a signed face, the angle and score of a new one.
typedef struct {
    const uint8_t* face_data;
    uint32_t face_len;
    const uint8_t* scene_data;
    uint32_t scene_len;
    int sample_version;
    int face_id;
    int angle;
    int score;
} NOXA_AI_FACE_REPORT_S;

// Face data changed at the cloud (MQTT protocol 304): the action ("add", "update", "delete") and
// the number of face ids. Runs on the MQTT layer's ordered worker, before the commands that came
// after it: it must not wait for long. Its result is not looked at.
typedef int (*NOXA_AI_FACE_CFG_CB)(const char* action, int count);
// A face id the front end learnt.
typedef void (*NOXA_AI_FACE_ID_CB)(int face_id);

// ---- the store ----
// Opens the store in the folder `path` (a unit path of at most 120 characters, made with mode
// 0755 when missing) for features of `feature_len` bytes, keyed by the local key of the
// activation record. 0; -1 a bad argument or a local key under 16 characters; -7 the folder
// cannot be made; else the record's read error.
int noxa_ipc_ai_face_db_init(const char* path, int feature_len);
// Stores the feature (feature_len bytes) of a face: written aside, synced and renamed over the
// face's file, so a cut write keeps the old face. 0; -2013 not open; -1 a bad id or no data;
// -7 the file not written; else the cipher's code.
int noxa_ipc_ai_face_db_add(const char* face_id, const uint8_t* feature);
// 0 also when there was no such face; -2013; -1 a bad id.
int noxa_ipc_ai_face_db_delete(const char* face_id);
// The feature into out (feature_len bytes; untouched on any failure). 0; -2013; -1 a bad id or
// no output; -7 no such face; -2014 a file that does not decode to a feature of the length.
int noxa_ipc_ai_face_db_read(const char* face_id, uint8_t* out);
// The store's folder into out (at least 128 bytes). 0; -2013; -1 no output.
int noxa_ipc_ai_face_get_db_path(char* out);
// Closes the store (tests).
void noxa_ipc_ai_face_db_close(void);

// ---- the cloud ----
// Creates the "ai_face" log sequence (errors go to the online log), installs the face-data
// callback as protocol 304's and keeps the face-id callback. 0 or the sequence's error.
int noxa_ipc_ai_face_detect_storage_init(NOXA_AI_FACE_CFG_CB cfg_cb, NOXA_AI_FACE_ID_CB face_id_cb);
// The sequence's error callback: its text (with its NUL) to the online-log service.
void log_ai_face_detect_err_log_seq_cb(LOG_SEQ_HANDLE seq);
// Hands a face id to the kept callback. 0; -1 when none is kept.
int noxa_ipc_ai_face_id_notify(int face_id);
// Fetches the storage configuration and the CA of its upload host. 0; -2002 no configuration;
// else the failing call's code.
int noxa_ipc_ai_face_update_path(void);
// The configuration last fetched (a copy).
int noxa_ipc_ai_face_get_storage_cfg(NOXA_AI_FACE_STORAGE_CFG_S* cfg);
// Uploads both pictures (encrypted under the media key, random IV) and reports the signed face
// (kind 1). 0; -1 no report or a message too long; -5 an upload failed; else the cloud's code.
int noxa_ipc_ai_face_signed_report(const NOXA_AI_FACE_REPORT_S* report);
// The same for a new face (kind 2); the cloud's new face id into *new_id (may be NULL).
// -803 for a reply whose id is no decimal number.
int noxa_ipc_ai_face_new_report(const NOXA_AI_FACE_REPORT_S* report, int* new_id);
// Downloads the pictures of the known faces the store does not hold yet into
// "<store>/pictures/<id>", decrypted where the list says so; a failed download is logged and the
// rest go on. 0; -2013 store not open; else the list call's code.
int noxa_ipc_ai_face_update_cloud_face(void);
