// What the AWS SDK for JavaScript makes of one request, for the server's signing tests.
// Reads one JSON object on standard input:
//   { endpoint, region, bucket, accessKeyId, secretAccessKey, sessionToken?, date (ISO),
//     keys: [object key, ...], expiresSecs, maxBytes?, fields?: {name: value},
//     range?: "bytes=a-b", body?: text }
// and prints, for every key, the presigned PUT URL (@aws-sdk/s3-request-presigner), the form
// of a POST upload (@aws-sdk/s3-presigned-post) and the header-signed requests the client
// would send for GetObject with a range, PutObject with the body, HeadObject, DeleteObject and
// ListObjectsV2 with the key as prefix (captured before they leave, nothing is sent).
import {
  DeleteObjectCommand,
  GetObjectCommand,
  HeadObjectCommand,
  ListObjectsV2Command,
  PutObjectCommand,
  S3Client,
} from "@aws-sdk/client-s3";
import { createPresignedPost } from "@aws-sdk/s3-presigned-post";
import { getSignedUrl } from "@aws-sdk/s3-request-presigner";

const chunks = [];
for await (const chunk of process.stdin) chunks.push(chunk);
const input = JSON.parse(Buffer.concat(chunks).toString("utf8"));

// Both signers take "now" from Date.now(); the request fixes it.
const fixedMs = Date.parse(input.date);
Date.now = () => fixedMs;

class Captured extends Error {}
let captured = null;
const client = new S3Client({
  endpoint: input.endpoint,
  region: input.region,
  forcePathStyle: true,
  credentials: {
    accessKeyId: input.accessKeyId,
    secretAccessKey: input.secretAccessKey,
    ...(input.sessionToken ? { sessionToken: input.sessionToken } : {}),
  },
  requestChecksumCalculation: "WHEN_REQUIRED",
  responseChecksumValidation: "WHEN_REQUIRED",
  maxAttempts: 1,
  requestHandler: {
    handle: async (request) => {
      captured = request;
      throw new Captured();
    },
  },
});

async function signed(command) {
  captured = null;
  try {
    await client.send(command);
  } catch (e) {
    if (!(e instanceof Captured)) throw e;
  }
  const headers = { ...captured.headers };
  return {
    method: captured.method,
    host: captured.hostname + (captured.port ? `:${captured.port}` : ""),
    path: captured.path,
    query: captured.query ?? {},
    headers,
  };
}

const out = [];
for (const key of input.keys) {
  const Bucket = input.bucket;
  const Key = key;
  const put = await getSignedUrl(client, new PutObjectCommand({ Bucket, Key }), {
    expiresIn: input.expiresSecs,
    signingDate: new Date(fixedMs),
  });
  const post = await createPresignedPost(client, {
    Bucket,
    Key,
    Expires: input.expiresSecs,
    Conditions: input.maxBytes !== undefined ? [["content-length-range", 0, input.maxBytes]] : [],
    Fields: input.fields ?? {},
  });
  const requests = {
    get: await signed(new GetObjectCommand({ Bucket, Key, Range: input.range ?? "bytes=0-9" })),
    put: await signed(new PutObjectCommand({ Bucket, Key, Body: input.body ?? "" })),
    head: await signed(new HeadObjectCommand({ Bucket, Key })),
    delete: await signed(new DeleteObjectCommand({ Bucket, Key })),
    list: await signed(new ListObjectsV2Command({ Bucket, Prefix: Key })),
  };
  out.push({
    key,
    put,
    post: { ...post, policy: JSON.parse(Buffer.from(post.fields.Policy, "base64").toString()) },
    requests,
  });
}
process.stdout.write(JSON.stringify(out));
