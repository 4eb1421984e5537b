// Reads every level of the volume through ome-zarr.js (over HTTP, as a browser
// viewer would) and prints each level's shape and a checksum of its values.
import * as omezarr from "ome-zarr.js";
import * as zarr from "zarrita";
const url = process.argv[2];
const { multiscale } = await omezarr.getMultiscale(url);
for (let i = 0; i < multiscale.datasets.length; ++i) {
  const { arr, scales } = await omezarr.getMultiscaleWithArray(url, i);
  const data = await zarr.get(arr);
  let sum = 0n;
  for (const v of data.data) sum += BigInt(v);
  console.log(i, JSON.stringify(arr.shape), JSON.stringify(arr.chunks), JSON.stringify(scales[i]), sum.toString());
}
