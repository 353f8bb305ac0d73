{{ config(event_time='month_start', tags=['calendar'],
          meta={'velk': {'lookback': 1, 'lookback_unit': 'month', 'lookahead': 1, 'lookahead_unit': 'month'}}) }}

select date_trunc('month', week_start) as month_start, sum(revenue) as revenue
from {{ ref('revenue_weekly') }}
group by 1
