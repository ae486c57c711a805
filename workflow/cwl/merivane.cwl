#!/usr/bin/env cwl-runner
cwlVersion: v1.2
class: CommandLineTool
id: merivane
label: "merivane: one sample's SV, CNV, repeat and ROH calls in one sorted, bgzipped VCF"
doc: |
  Runs `merivane PIPELINE` on one sample's inputs and returns the unified
  VCF (`<output>.gz`, with its `.tbi` or `.csi` index as a secondary file
  when `index` is given), the run's statistics and MultiQC files when
  `stats` names them, and for `pacbio` the catalog's repeat calls. Every
  input file is optional (a run needs at least one SV, CNV or repeat file
  with records); the options are those of `merivane PIPELINE --help`, and
  an option left unset keeps the command's own default. Options that belong
  to another pipeline (`roh` for ont, say) are refused by the command as a
  usage error.

# The expressions below fall back on a default when an input is unset.
requirements:
  InlineJavascriptRequirement: {}

hints:
  # The image the project's Containerfile builds, tagged with this version.
  DockerRequirement:
    dockerPull: merivane:0.1.0
  SoftwareRequirement:
    packages:
      merivane:
        version: ["0.1.0"]
  ResourceRequirement:
    coresMin: "$(inputs.threads === null ? 1 : inputs.threads)"

baseCommand: merivane

inputs:
  pipeline:
    type:
      type: enum
      symbols: [dragen, ont, pacbio]
    doc: the pipeline the files came from
    inputBinding: {position: 0}
  output:
    type: string
    doc: >-
      name of the unified VCF in the output folder, e.g. NA12878.vcf; the
      file returned is this name + .gz
    inputBinding: {prefix: --output-path, position: 1}

  # files (plain or gzip-compressed)
  sv:
    type: File?
    doc: structural-variant VCF
    inputBinding: {prefix: --sv-path, position: 1}
  cnv:
    type: File?
    doc: copy-number VCF
    inputBinding: {prefix: --cnv-path, position: 1}
  repeats:
    type: File?
    doc: >-
      tandem-repeat VCF: ExpansionHunter's (dragen), Straglr's (ont), or
      TRGT's whole-genome VCF (pacbio), cut down to the catalog
    inputBinding: {prefix: -r, position: 1}
  roh:
    type: File?
    doc: "dragen: runs of homozygosity, the BED of DRAGEN's ROH caller or an ROH VCF"
    inputBinding: {prefix: --roh, position: 1}
  catalog:
    type: File?
    doc: "pacbio: BED of the repeat loci to keep (default: the bundled STRchive disease-locus catalog, hg38)"
    inputBinding: {prefix: --catalog, position: 1}
  filtered_repeats:
    type: string?
    doc: >-
      pacbio: name of the VCF keeping the catalog's repeat calls (default:
      the repeats file's name with _filtered.vcf)
    inputBinding: {prefix: --filtered-repeats, position: 1}
  allow_no_repeats:
    type: boolean?
    doc: >-
      pacbio: unify even when no repeat call lies on a chromosome the catalog
      names (by default an error: the calls and the catalog name another
      reference)
    inputBinding: {prefix: --allow-no-repeats, position: 1}

  # repeat records (ont)
  modify_repeats:
    type: boolean?
    doc: "ont: mark every repeat call SVTYPE=REP (default: only calls that carry no SVTYPE)"
    inputBinding: {prefix: --modify-repeats, position: 1}
  no_modify_repeats:
    type: boolean?
    doc: "ont: mark no repeat call"
    inputBinding: {prefix: --no-modify-repeats, position: 1}

  # output
  threads:
    type: int?
    doc: >-
      compression threads, also the cores asked of the runner (unset: the
      command's default, one core asked); the output is the same for any number
    inputBinding: {prefix: --threads, position: 1}
  level:
    type: int?
    doc: "compression level, 0 (fastest, largest) to 9 (smallest) (unset: the command's default)"
    inputBinding: {prefix: --level, position: 1}
  index:
    type:
      - "null"
      - type: enum
        symbols: [tbi, csi]
    doc: >-
      also write a tabix index, returned beside the VCF: tbi, or csi for
      chromosomes longer than 512 Mbp (default: none)
    inputBinding: {prefix: --index, position: 1}
  sort:
    type:
      - "null"
      - type: enum
        symbols: [text, contig]
    doc: >-
      order of the chromosomes: text (chr1, chr10, chr2; the default) or
      contig, the order of the header's contig lines
    inputBinding: {prefix: --sort, position: 1}
  donor_header:
    type: boolean?
    doc: >-
      use the first input's header alone (SV, else CNV, else repeats) instead
      of merging every input's INFO, FORMAT, FILTER, ALT and contig lines
    inputBinding: {prefix: --donor-header, position: 1}
  sample:
    type: string?
    doc: rename the output's one sample column
    inputBinding: {prefix: --sample, position: 1}
  stats:
    type: string?
    doc: >-
      name of the statistics file (JSON) to write; MultiQC's custom-content
      files are written beside it
    inputBinding: {prefix: --stats, position: 1}
  no_version:
    type: boolean?
    doc: >-
      leave the ##merivaneVersion and ##merivaneCommand lines out of the
      header, so that two runs give the same bytes
    inputBinding: {prefix: --no-version, position: 1}
  drop_filter:
    type:
      - "null"
      - type: array
        items: string
        inputBinding: {prefix: --drop-filter}
    doc: >-
      leave out SV records whose FILTER holds one of these tokens (default:
      InvBreakpoint for pacbio, none for the others)
    inputBinding: {position: 1}
  no_drop_filter:
    type: boolean?
    doc: keep every SV record, whatever its FILTER
    inputBinding: {prefix: --no-drop-filter, position: 1}

  # messages
  quiet:
    type: boolean?
    doc: show only warnings and errors (the default)
    inputBinding: {prefix: --quiet, position: 1}
  verbose:
    type: boolean?
    doc: show every message, and the full traceback of an error
    inputBinding: {prefix: --verbose, position: 1}

outputs:
  vcf:
    type: File
    doc: the unified VCF, sorted and bgzipped, with its index when asked for
    outputBinding:
      glob: $(inputs.output).gz
    secondaryFiles:
      - {pattern: .tbi, required: false}
      - {pattern: .csi, required: false}
  statistics:
    type: File?
    doc: the run's statistics (JSON), when stats names them
    outputBinding:
      glob: $(inputs.stats)
  multiqc:
    type: File[]
    doc: MultiQC's custom-content files, beside the statistics
    outputBinding:
      glob: "*_mqc.json"
  filtered_repeats_vcf:
    type: File?
    doc: "pacbio: the catalog's repeat calls"
    outputBinding:
      glob: '$(inputs.filtered_repeats === null ? "*_filtered.vcf" : inputs.filtered_repeats)'
